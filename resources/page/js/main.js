// The main page: folder pairs with what each is doing, the transfer list, the
// sync log and the failed files. The window drives it through mainVue and a
// few global functions whose names and arguments it fixes.
//
// Transfer rows arrive by the thousand during a first sync. They live in a
// KTransfers store outside Vue; the page draws once per frame, and the list
// draws only the rows in view.
(function () {
  'use strict';

  // The store hands out the sync log in pages of this many rows.
  const LOG_PAGE_SIZE = 30;
  // Height of one transfer row, card and gap, in pixels (see .transfer).
  const ROW_HEIGHT = 70;
  // Rows drawn above and below the view, so fast scrolling shows no gaps.
  const OVERSCAN = 6;
  // Failed files drawn at once; the rest are counted below the list.
  const ERRORS_SHOWN = 300;
  const TOAST_MS = 3500;

  let send = () => Promise.resolve();

  const DIRECTIONS = [
    { value: '3', label: '双向同步', hint: '新增、修改两边互相同步' },
    { value: '1', label: '仅上传', hint: '本地 → 云端' },
    { value: '2', label: '仅下载', hint: '云端 → 本地' },
    { value: '0', label: '仅补齐缺失文件', hint: '两边互相补上缺少的，不同步修改' },
  ];
  const STORED_DIRECTIONS = new Set(DIRECTIONS.map((d) => d.value));

  const emptyEditor = () => ({
    id: '', localPath: '', spacePath: '', syncType: '3', status: '1', ignoreType: '0', saving: false, error: '',
  });

  const PAIR_STATES = new Set(['idle', 'comparing', 'transferring', 'paused', 'failing', 'confirm']);
  const idleState = () => ({
    state: 'idle', uploads: 0, downloads: 0, lastPass: 0, lastError: '', conflicts: 0,
    deletionsCarried: true, watch: 'off', pendingDeletion: null,
  });

  function pairStateOf(raw) {
    const s = Object.assign(idleState(), raw && typeof raw === 'object' ? raw : {});
    if (!PAIR_STATES.has(s.state)) s.state = 'idle';
    s.uploads = Number(s.uploads) || 0;
    s.downloads = Number(s.downloads) || 0;
    s.lastPass = Number(s.lastPass) || 0;
    s.conflicts = Number(s.conflicts) || 0;
    s.lastError = s.lastError == null ? '' : String(s.lastError);
    s.deletionsCarried = s.deletionsCarried !== false;
    const p = s.pendingDeletion;
    s.pendingDeletion = p && typeof p === 'object'
      ? { local: Number(p.local) || 0, server: Number(p.server) || 0, sample: Array.isArray(p.sample) ? p.sample.map(String) : [] }
      : null;
    return s;
  }

  // ---- transfer rows, drawn once per frame ------------------------------------

  const transfers = new KTransfers();
  // What the components draw from; changed only when a frame is drawn.
  const live = Vue.reactive({
    version: 0,
    counters: { upload: 0, download: 0, errors: 0 },
    countersSeen: false,
  });
  let countersWaiting = null;
  let frameAsked = false;

  function drawNextFrame() {
    if (frameAsked) return;
    frameAsked = true;
    requestAnimationFrame(() => {
      frameAsked = false;
      if (countersWaiting) {
        live.counters = countersWaiting;
        live.countersSeen = true;
        countersWaiting = null;
      }
      live.version += 1;
    });
  }

  const MainTabs = {
    template: '#tpl-main-tabs',
    props: { tab: String, pairCount: Number, errorRows: Number },
    emits: ['select'],
    data() {
      return {
        tabs: [
          { id: 'pairs', label: '同步文件夹', icon: 'M3 7a2 2 0 0 1 2-2h4l2 2h8a2 2 0 0 1 2 2v8a2 2 0 0 1-2 2H5a2 2 0 0 1-2-2z' },
          { id: 'transfers', label: '传输列表', icon: 'M7 4v16M3 8l4-4 4 4M17 20V4M13 16l4 4 4-4', badgeId: 'badge-transfers', badgeClass: 'blue' },
          { id: 'logs', label: '同步记录', icon: 'M12 3a9 9 0 1 0 0 18 9 9 0 0 0 0-18zM12 7v5l3 2' },
          { id: 'errors', label: '传输失败', icon: 'M10.3 3.9 1.8 18a2 2 0 0 0 1.7 3h17a2 2 0 0 0 1.7-3L13.7 3.9a2 2 0 0 0-3.4 0zM12 9v4M12 17h.01', badgeId: 'badge-errors', badgeClass: 'red' },
        ],
      };
    },
    computed: {
      activeTransfers() {
        const t = live.version >= 0 ? transfers.totals() : null;
        return t.running + t.waiting;
      },
    },
    methods: {
      badgeOf(t) {
        if (t.id === 'pairs') return this.pairCount;
        if (t.id === 'transfers') return this.activeTransfers;
        if (t.id === 'errors') return live.countersSeen ? live.counters.errors : this.errorRows;
        return 0;
      },
      // Left and right move between the tabs, as in any tab strip.
      moveByArrow(event) {
        const step = { ArrowRight: 1, ArrowLeft: -1 }[event.key];
        if (!step) return;
        const at = this.tabs.findIndex((t) => t.id === this.tab);
        const next = this.tabs[(at + step + this.tabs.length) % this.tabs.length].id;
        this.$emit('select', next);
        this.$nextTick(() => document.getElementById(`tab-btn-${next}`).focus());
        event.preventDefault();
      },
    },
  };

  const TransferPanel = {
    template: '#tpl-transfer-panel',
    props: { labelOf: Function },
    emits: ['retry', 'retry-all', 'open', 'show-errors'],
    data() {
      return { live, scrollTop: 0, viewHeight: 0, rowHeight: ROW_HEIGHT };
    },
    computed: {
      totals() { return live.version >= 0 ? transfers.totals() : null; },
      first() { return Math.max(0, Math.floor(this.scrollTop / ROW_HEIGHT) - OVERSCAN); },
      shown() {
        const count = Math.ceil(this.viewHeight / ROW_HEIGHT) + 2 * OVERSCAN;
        return live.version >= 0 ? transfers.slice(this.first, count) : [];
      },
    },
    mounted() {
      // The list is measured whenever it changes size: a hidden tab has no
      // height, and the window can be resized.
      this.resizeWatch = new ResizeObserver(() => this.measure());
      this.resizeWatch.observe(this.$refs.scroller);
      this.measure();
    },
    beforeUnmount() { this.resizeWatch.disconnect(); },
    methods: {
      measure() {
        const scroller = this.$refs.scroller;
        this.viewHeight = scroller.clientHeight;
        this.scrollTop = scroller.scrollTop;
      },
      onScroll(event) { this.scrollTop = event.target.scrollTop; },
      clearFinished() {
        transfers.clearFinished();
        drawNextFrame();
      },
      statusText(t) {
        if (t.state === 'done') return '已结束';
        if (t.state === 'failed') return `失败：${t.reason}`;
        if (t.state === 'waiting') return '等待中';
        return t.type === 'download' ? '正在下载' : '正在上传';
      },
      barWidth(t) { return `${t.state === 'done' ? 100 : t.percent}%`; },
      sizeText: KRows.sizeText,
      durationText: KRows.durationText,
    },
  };

  const LogTable = {
    template: '#tpl-log-table',
    props: { logs: Array, more: Boolean, loading: Boolean, labelOf: Function },
    emits: ['older'],
    methods: {
      time: KRows.formatTime,
      baseName: KRows.baseName,
      folderOf: KRows.folderOf,
    },
  };

  const ErrorList = {
    template: '#tpl-error-list',
    props: { errors: Array, labelOf: Function },
    emits: ['retry', 'open'],
    computed: {
      shown() { return this.errors.slice(0, ERRORS_SHOWN); },
    },
    methods: {
      retry(e) {
        e.retrying = true;
        this.$emit('retry', { local: e.localPath, logid: e.logid });
      },
      time: KRows.formatTime,
      baseName: KRows.baseName,
    },
  };

  const app = Vue.createApp({
    data() {
      return {
        title: 'Wexora云盘',
        user: { id: '', name: '' },
        tab: 'pairs',
        pairs: [],
        pairsLoaded: false,
        pairStates: {},
        spaces: {},
        conflicts: [],
        editor: null,
        confirmBox: null,
        refusal: '',
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
    created() {
      this.toastSeq = 0;
      Vue.watch(() => live.counters.errors, () => { if (this.tab === 'errors') this.loadErrors(); });
    },
    computed: {
      userInitial() { return (this.user.name || this.user.id || '?').slice(0, 1).toUpperCase(); },
    },
    methods: {
      // ---- called by the window ------------------------------------------------
      reloadData(rowText, userid, username) {
        this.pairs = KRows.configs(rowText);
        this.pairsLoaded = true;
        this.user = { id: userid == null ? '' : String(userid), name: username == null ? '' : String(username) };
      },
      setProductTitle(title) {
        const text = String(title == null ? '' : title).trim();
        if (!text) return;
        this.title = text;
        document.title = text;
      },
      setSpaces(json) {
        const names = {};
        const list = KRows.parseJson(json, []);
        (Array.isArray(list) ? list : []).forEach((s) => {
          if (s && s.id != null && s.name) names[String(s.id)] = String(s.name);
        });
        this.spaces = names;
      },
      // Only the pairs that changed; a change of conflicts fetches the list again.
      updatePairStates(json) {
        const list = KRows.parseJson(json, []);
        let conflictsMoved = false;
        (Array.isArray(list) ? list : []).forEach((raw) => {
          if (!raw || raw.id == null) return;
          const id = String(raw.id);
          const state = pairStateOf(raw);
          const before = this.pairStates[id];
          if ((before ? before.conflicts : 0) !== state.conflicts) conflictsMoved = true;
          this.pairStates[id] = state;
        });
        if (conflictsMoved) send('queryConflicts', '');
      },
      showConflicts(json) {
        const list = KRows.parseJson(json, []);
        this.conflicts = (Array.isArray(list) ? list : []).filter((c) => c && typeof c === 'object').map((c) => ({
          pairId: String(c.pairId == null ? '' : c.pairId), local: String(c.local || ''), copy: String(c.copy || ''),
          space: String(c.space || ''), time: Number(c.time) || 0,
        }));
      },
      CSharpCallback_saveSyncRefused(reason, sentence) {
        this.refusal = String(sentence || '');
      },
      CSharpCallback_saveSyncConfig(code, configText) {
        const editor = this.editor;
        const refusal = this.refusal || '保存失败：本地文件夹不存在，或云端文件夹不存在、不是文件夹。';
        this.refusal = '';
        if (Number(code) !== 0) {
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
        delete this.pairStates[String(id)];
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
      // The newest page of the log, pushed after transfers finished: rows not
      // shown yet go on top. When none of them is known, rows may be missing
      // between the two, so the page replaces what is shown.
      showNewLogs(rowText) {
        const page = KRows.logs(rowText);
        if (!page.length) return;
        const known = new Set(this.logs.map((l) => l.id));
        const fresh = page.filter((l) => !known.has(l.id));
        if (!fresh.length) return;
        if (fresh.length === page.length && this.logs.length && page.length >= LOG_PAGE_SIZE) {
          this.CSharpCallback_QueryLogs(rowText);
          return;
        }
        this.logs = fresh.concat(this.logs);
        this.logsLoaded = true;
      },
      CSharpCallback_ShowErrorLog(rowText) {
        this.errors = KRows.errors(rowText);
        this.errorsLoaded = true;
      },
      RefershProgress(uploadQueue, downloadQueue, unused, errorCount) {
        countersWaiting = {
          upload: Number(uploadQueue) || 0, download: Number(downloadQueue) || 0, errors: Number(errorCount) || 0,
        };
        drawNextFrame();
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
        transfers.add(KRows.parseObject(recordText));
        drawNextFrame();
      },
      refreshTransfer(logid, progress, speed, percent) {
        if (transfers.refresh(logid, progress, speed, percent)) drawNextFrame();
      },
      failTransfer(logid, reason) {
        if (transfers.fail(String(logid), reason)) drawNextFrame();
      },
      finishTransfer(logid) {
        if (transfers.finish(logid)) drawNextFrame();
      },
      // ---- page logic -----------------------------------------------------------
      stateOf(pair) {
        const state = this.pairStates[pair.id];
        if (state) return state;
        // Until the window tells, the stored status knows whether it is paused.
        return Object.assign(idleState(), { state: pair.status === '0' ? 'paused' : 'idle' });
      },
      isPaused(pair) { return this.stateOf(pair).state === 'paused'; },
      stateText(s) {
        if (s.state === 'comparing') return '正在比较';
        if (s.state === 'transferring') return `正在传输 ↑${s.uploads} ↓${s.downloads}`;
        if (s.state === 'paused') return '已暂停';
        if (s.state === 'failing') return '同步出错';
        if (s.state === 'confirm') return '等待确认删除';
        return '空闲';
      },
      pendingText(p) {
        const parts = [];
        if (p.local) parts.push(`本地 ${p.local} 个文件`);
        if (p.server) parts.push(`云端 ${p.server} 个文件`);
        return parts.join('、') || '一些文件';
      },
      spaceLabel(path) { return KRows.spaceLabel(path, this.spaces); },
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
      showTab(tab) {
        this.tab = tab;
        if (tab === 'errors') this.loadErrors();
        if (tab === 'logs' && !this.logsLoaded) this.reloadLogs();
      },
      focusConflicts() {
        this.$nextTick(() => {
          const box = document.getElementById('conflicts');
          if (box) { box.scrollIntoView({ block: 'nearest' }); box.focus(); }
        });
      },
      syncNow(pair) {
        send('syncNow', JSON.stringify({ id: pair.id }));
        this.notify('马上开始同步', 'ok');
      },
      pausePair(pair) { send('pausePair', JSON.stringify({ id: pair.id })); },
      resumePair(pair) { send('resumePair', JSON.stringify({ id: pair.id })); },
      openFolder(path) { send('openFolder', JSON.stringify({ path: String(path) })); },
      answerDeletions(pair, confirmed) {
        send(confirmed ? 'confirmDeletions' : 'rejectDeletions', JSON.stringify({ id: pair.id }));
      },
      retryTransfer(row) {
        row.retrying = true;
        send('retryTransfer', JSON.stringify({ local: row.local }));
        drawNextFrame();
      },
      // One retry per pair is enough: a retry runs the whole pass of its pair.
      retryAllFailed() {
        const roots = this.pairs.map((p) => p.localPath.replace(/[\\/]+$/, '')).filter(Boolean);
        const asked = new Set();
        transfers.failedRows().forEach((row) => {
          const root = roots.find((r) => row.local === r || row.local.startsWith(`${r}/`)) || row.local;
          row.retrying = true;
          if (asked.has(root)) return;
          asked.add(root);
          send('retryTransfer', JSON.stringify({ local: row.local }));
        });
        drawNextFrame();
      },
      newPair() {
        this.editor = emptyEditor();
        this.focusIn('#edit-local');
      },
      editPair(pair) {
        this.editor = Object.assign(emptyEditor(), {
          id: pair.id, localPath: pair.localPath, spacePath: pair.spacePath,
          // Stored values keep their meaning; anything unknown is the fill-in direction.
          syncType: STORED_DIRECTIONS.has(pair.syncType) ? pair.syncType : '0',
          status: pair.status || '1', ignoreType: pair.ignoreType || '0',
        });
        this.focusIn('#edit-local');
      },
      focusIn(selector) {
        this.$nextTick(() => {
          const field = document.querySelector(selector);
          if (field) field.focus();
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
        this.ask({
          title: '删除同步文件夹', okText: '删除', danger: true,
          message: `不再同步“${pair.localPath}”。本地和云端已有的文件都会保留。`,
          action: () => send('deleteSync', JSON.stringify({ id: pair.id })),
        });
      },
      askLogout() {
        this.ask({
          title: '注销', okText: '注销', danger: false,
          message: '注销后将停止同步，并回到登录界面。',
          action: () => send('doLoginOut', ''),
        });
      },
      askQuit() {
        this.ask({
          title: '退出程序', okText: '退出', danger: true,
          message: '退出后文件夹不再保持同步。',
          action: () => send('doClose', ''),
        });
      },
      // The safe answer has the focus, so Enter never deletes by accident.
      ask(box) {
        this.confirmBox = box;
        this.focusIn('#btn-confirm-cancel');
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
      // this.toast reads back as Vue's proxy of the object, never the object
      // itself: the time-out recognises its notice by number.
      notify(text, kind) {
        const id = ++this.toastSeq;
        this.toast = { id, text, kind };
        setTimeout(() => { if (this.toast && this.toast.id === id) this.toast = null; }, TOAST_MS);
      },
    },
  });

  app.component('main-tabs', MainTabs);
  app.component('transfer-panel', TransferPanel);
  app.component('log-table', LogTable);
  app.component('error-list', ErrorList);
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
    send('queryPairStates', '');
    send('queryConflicts', '');
  });
})();
