// Reading what the main window sends: row texts (a JSON array of strings,
// each the fields of one row joined by "#@#"), JSON object texts, times.
(function (global) {
  'use strict';

  const SEP = '#@#';

  function parseJson(text, fallback) {
    try {
      const value = JSON.parse(text);
      return value == null ? fallback : value;
    } catch (e) {
      return fallback;
    }
  }

  function parseObject(text) {
    const value = parseJson(text, {});
    return typeof value === 'object' && !Array.isArray(value) ? value : {};
  }

  function splitRows(text) {
    const rows = parseJson(text, []);
    return Array.isArray(rows) ? rows.map((row) => String(row).split(SEP)) : [];
  }

  const field = (f, i) => (f[i] === undefined ? '' : f[i]);

  // pk_id, tx_localpath, tx_spacepath, tx_status, tx_ignoretype, tx_syncType, l_time (ms)
  function configs(text) {
    return splitRows(text).map((f) => ({
      id: field(f, 0), localPath: field(f, 1), spacePath: field(f, 2), status: field(f, 3),
      ignoreType: field(f, 4), syncType: field(f, 5), time: Number(field(f, 6)) || 0,
    }));
  }

  // pk_id, tx_localpath, tx_spacepath, tx_type, l_time (seconds)
  function logs(text) {
    return splitRows(text).map((f) => ({
      id: field(f, 0), localPath: field(f, 1), spacePath: field(f, 2), type: field(f, 3),
      seconds: field(f, 4), time: (Number(field(f, 4)) || 0) * 1000,
    }));
  }

  // logid, local path, server path, "upload", time (ms), error text; the
  // error text is last, so a separator inside it stays part of it.
  function errors(text) {
    return splitRows(text).map((f) => ({
      logid: field(f, 0), localPath: field(f, 1), spacePath: field(f, 2), type: field(f, 3),
      time: Number(field(f, 4)) || 0, message: f.slice(5).join(SEP),
    }));
  }

  const pad = (n) => String(n).padStart(2, '0');

  function formatTime(ms) {
    if (!ms) return '';
    const d = new Date(ms);
    if (isNaN(d.getTime())) return '';
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
  }

  function baseName(path) {
    const trimmed = String(path).replace(/[\\/]+$/, '');
    const cut = Math.max(trimmed.lastIndexOf('/'), trimmed.lastIndexOf('\\'));
    return cut < 0 ? trimmed : trimmed.slice(cut + 1);
  }

  // The folder part of a path; a bare name gives itself.
  function folderOf(path) {
    const trimmed = String(path).replace(/[\\/]+$/, '');
    const cut = Math.max(trimmed.lastIndexOf('/'), trimmed.lastIndexOf('\\'));
    return cut <= 0 ? trimmed : trimmed.slice(0, cut);
  }

  // "1" upload only, "2" download only, anything else both ways.
  function direction(syncType) {
    if (syncType === '1') return { kind: 'up', label: '仅上传' };
    if (syncType === '2') return { kind: 'down', label: '仅下载' };
    return { kind: 'both', label: '双向同步' };
  }

  global.KRows = { SEP, parseObject, configs, logs, errors, formatTime, baseName, folderOf, direction };
})(window);
