// The main page: folder pairs, running transfers, the sync log and upload
// errors. The window drives it through mainVue and a few global functions.
(function () {
  'use strict';

  // The store hands out the sync log in pages of this many rows.
  const LOG_PAGE_SIZE = 30;
  // Finished transfer rows kept on show before the oldest go.
  const FINISHED_KEPT = 50;
  // Transfer rows rendered at once; the rest are counted below the list.
  const TRANSFERS_SHOWN = 200;

  let send = () => Promise.resolve();
  let transferSeq = 0;

  const DIRECTIONS = [
    { value: '0', label: '双向同步', hint: '两边互相补齐' },
    { value: '1', label: '仅上传', hint: '本地 → 云端' },
    { value: '2', label: '仅下载', hint: '云端 → 本地' },
  ];

  const emptyEditor = () => ({
    id: '', localPath: '', spacePath: '', syncType: '0', status: '1', ignoreType: '0', saving: false, error: '',
  });

  const app = Vue.createApp({
    data() {
      return {
        title: 'Wexora云盘',
        user: { id: '', name: '' },
        tab: 'pairs',
        pairs: [],
        pairsLoaded: false,
        editor: null,
        confirmBox: null,
        transfers: [],
        counters: { upload: 0, download: 0, errors: 0 },
        countersSeen: false,
        logs: [],
        logsLoaded: false,
        logsLoading: false,
        logsMore: true,
        errors: [],
        errorsLoaded: false,
        toast: null,
        directions: DIRECTIONS,
      };
    },
    watch: {
      'counters.errors'() {
        if (this.tab === 'errors') this.loadErrors();
      },
    },
    computed: {
      activeTransfers() { return this.transfers.filter((t) => t.state !== 'done'); },
      finishedTransfers() { return this.transfers.filter((t) => t.state === 'done'); },
      shownTransfers() {
        const running = this.transfers.filter((t) => t.state === 'running');
        const rest = this.transfers.filter((t) => t.state !== 'running');
        return running.concat(rest).slice(0, TRANSFERS_SHOWN);
      },
      hiddenTransfers() { return Math.max(0, this.transfers.length - TRANSFERS_SHOWN); },
      userInitial() { return (this.user.name || this.user.id || '?').slice(0, 1).toUpperCase(); },
      errorBadge() { return this.countersSeen ? this.counters.errors : this.errors.length; },
    },
    methods: {
      // ---- called by the window ------------------------------------------------
      reloadData(rowText, userid, username) {
        this.pairs = KRows.configs(rowText);
        this.pairsLoaded = true;
        this.user = { id: userid == null ? '' : String(userid), name: username == null ? '' : String(username) };
      },
      CSharpCallback_saveSyncConfig(code, configText) {
        const editor = this.editor;
        if (Number(code) !== 0) {
          const refusal = '保存失败：本地文件夹不存在，或云端文件夹不存在、不是文件夹。';
          if (editor) {
            editor.saving = false;
            editor.error = refusal;
          } else {
            this.notify(refusal, 'error');
          }
          return;
        }
        this.mergePair(KRows.parseObject(configText));
        this.editor = null;
        this.notify('同步文件夹已保存，马上开始同步', 'ok');
        send('getConfig', '');
      },
      CSharpCallback_doRemoveSync(id) {
        this.pairs = this.pairs.filter((p) => p.id !== String(id));
        this.notify('已删除同步文件夹', 'ok');
      },
      CSharpCallback_QueryLogs(rowText) {
        this.logs = KRows.logs(rowText);
        this.afterLogPage(this.logs.length);
      },
      CSharpCallback_AddQueryLogs(rowText) {
        const known = new Set(this.logs.map((l) => l.id));
        const page = KRows.logs(rowText);
        this.logs = this.logs.concat(page.filter((l) => !known.has(l.id)));
        this.afterLogPage(page.length);
      },
      CSharpCallback_ShowErrorLog(rowText) {
        this.errors = KRows.errors(rowText);
        this.errorsLoaded = true;
      },
      RefershProgress(uploadQueue, downloadQueue, unused, errorCount) {
        this.counters = { upload: Number(uploadQueue) || 0, download: Number(downloadQueue) || 0, errors: Number(errorCount) || 0 };
        this.countersSeen = true;
      },
      // ---- behind the global functions ---------------------------------------
      onLocalDirChosen(path) {
        if (!this.editor) this.editor = emptyEditor();
        this.editor.localPath = String(path);
        this.editor.error = '';
      },
      onSpaceDirChosen(path) {
        if (!this.editor) this.editor = emptyEditor();
        this.editor.spacePath = String(path);
        this.editor.error = '';
      },
      addTransfer(recordText) {
        const r = KRows.parseObject(recordText);
        const text = (key) => (r[key] == null ? '' : String(r[key]));
        this.transfers.push({
          key: ++transferSeq, logid: text('logid'), type: text('type') === 'download' ? 'download' : 'upload',
          local: text('local'), space: text('space'), name: KRows.baseName(text('local')),
          readsize: text('readsize') || text('transfer'), totalsize: text('totalsize'), speed: text('speed'),
          percent: Number(text('percent')) || 0, state: 'waiting',
        });
      },
      refreshTransfer(logid, progress, speed, percent) {
        const row = this.liveTransfer(logid);
        if (!row) return;
        row.readsize = String(progress);
        row.speed = String(speed);
        row.percent = Math.max(0, Math.min(100, Number(percent) || 0));
        row.state = 'running';
      },
      failTransfer(logid, reason) {
        const row = this.liveTransfer(logid);
        if (!row) return;
        row.state = 'failed';
        row.speed = '';
        row.reason = String(reason);
      },
      finishTransfer(logid) {
        const row = this.liveTransfer(logid);
        if (!row) return;
        row.state = 'done';
        row.speed = '';
        const finished = this.finishedTransfers;
        if (finished.length > FINISHED_KEPT) {
          const drop = new Set(finished.slice(0, finished.length - FINISHED_KEPT).map((t) => t.key));
          this.transfers = this.transfers.filter((t) => !drop.has(t.key));
        }
      },
      // ---- page logic -----------------------------------------------------------
      liveTransfer(logid) {
        // A file queued twice has two rows; the older one is the one moving.
        return this.transfers.find((t) => t.logid === String(logid) && t.state !== 'done' && t.state !== 'failed');
      },
      clearFinished() { this.transfers = this.transfers.filter((t) => t.state !== 'done'); },
      statusText(t) {
        if (t.state === 'done') return '已结束';
        if (t.state === 'failed') return `失败：${t.reason}`;
        if (t.state === 'waiting') return '等待中';
        return t.type === 'download' ? '正在下载' : '正在上传';
      },
      barWidth(t) { return `${t.state === 'done' ? 100 : t.percent}%`; },
      mergePair(saved) {
        if (!saved.id) return;
        const pair = {
          id: String(saved.id), localPath: String(saved.localPath || ''), spacePath: String(saved.spacePath || ''),
          status: String(saved.status || ''), ignoreType: String(saved.ignoreType || ''),
          syncType: String(saved.syncType || ''), time: Date.now(),
        };
        this.pairs = [pair].concat(this.pairs.filter((p) => p.id !== pair.id));
      },
      direction(syncType) { return KRows.direction(syncType); },
      time(ms) { return KRows.formatTime(ms); },
      baseName(path) { return KRows.baseName(path); },
      folderOf(path) { return KRows.folderOf(path); },
      showTab(tab) {
        this.tab = tab;
        if (tab === 'errors') this.loadErrors();
        if (tab === 'logs' && !this.logsLoaded) this.reloadLogs();
      },
      newPair() { this.editor = emptyEditor(); },
      editPair(pair) {
        this.editor = Object.assign(emptyEditor(), {
          id: pair.id, localPath: pair.localPath, spacePath: pair.spacePath,
          // Any value but "1" and "2" means both ways; the editor offers "0" for it.
          syncType: pair.syncType === '1' || pair.syncType === '2' ? pair.syncType : '0',
          status: pair.status || '1', ignoreType: pair.ignoreType || '0',
        });
      },
      chooseLocal() { send('openlocaldir', ''); },
      chooseSpace() { send('selectspacedir', ''); },
      savePair() {
        const e = this.editor;
        if (!e || e.saving) return;
        e.localPath = e.localPath.trim();
        if (!e.localPath) { e.error = '请选择本地文件夹'; return; }
        if (!e.spacePath) { e.error = '请选择云端文件夹'; return; }
        e.error = '';
        e.saving = true;
        send('addSync', JSON.stringify({
          id: e.id, localPath: e.localPath, spacePath: e.spacePath, syncType: e.syncType, status: e.status, ignoreType: e.ignoreType,
        })).then(() => { if (this.editor === e) e.saving = false; });
      },
      closeEditor() { if (!this.editor || !this.editor.saving) this.editor = null; },
      askRemove(pair) {
        this.confirmBox = {
          title: '删除同步文件夹', okText: '删除', danger: true,
          message: `不再同步“${pair.localPath}”。本地和云端已有的文件都会保留。`,
          action: () => send('deleteSync', JSON.stringify({ id: pair.id })),
        };
      },
      askLogout() {
        this.confirmBox = {
          title: '注销', okText: '注销', danger: false,
          message: '注销后将停止同步，并回到登录界面。',
          action: () => send('doLoginOut', ''),
        };
      },
      askQuit() {
        this.confirmBox = {
          title: '退出程序', okText: '退出', danger: true,
          message: '退出后文件夹不再保持同步。',
          action: () => send('doClose', ''),
        };
      },
      confirmOk() {
        const box = this.confirmBox;
        this.confirmBox = null;
        if (box) box.action();
      },
      hideWindow() { send('doHide', ''); },
      reloadLogs() {
        this.logsLoading = true;
        send('queryLog', JSON.stringify({ time: '' })).then(() => { this.logsLoading = false; });
      },
      loadOlderLogs() {
        if (!this.logs.length || this.logsLoading) return;
        this.logsLoading = true;
        const oldest = this.logs[this.logs.length - 1].seconds;
        send('addQueryLog', JSON.stringify({ time: String(oldest) })).then(() => { this.logsLoading = false; });
      },
      afterLogPage(rows) {
        this.logsLoaded = true;
        this.logsMore = rows >= LOG_PAGE_SIZE;
      },
      loadErrors() { send('queryErrorLog', ''); },
      notify(text, kind) {
        const toast = { text, kind };
        this.toast = toast;
        setTimeout(() => { if (this.toast === toast) this.toast = null; }, 3500);
      },
    },
  });

  window.mainVue = app.mount('#app');

  document.addEventListener('keydown', (event) => {
    if (event.key !== 'Escape') return;
    if (mainVue.confirmBox) mainVue.confirmBox = null;
    else mainVue.closeEditor();
  });

  // Called by the window without the mainVue prefix.
  window.CharpCallback_AfterSelectDir = (path) => mainVue.onLocalDirChosen(path);
  window.CharpCallback_AfterSelectSpaceDir = (path) => mainVue.onSpaceDirChosen(path);
  window.addTransfer = (recordText) => mainVue.addTransfer(recordText);
  window.refreshThransferData = (logid, progress, speed, percent) => mainVue.refreshTransfer(logid, progress, speed, percent);
  window.finishTransfer = (logid) => mainVue.finishTransfer(logid);
  window.failTransfer = (logid, reason) => mainVue.failTransfer(logid, reason);

  KBridge.connect('mainobj', (channelSend) => {
    send = channelSend;
    send('getConfig', '');
    mainVue.reloadLogs();
  });
})();
