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

  // "1" upload only, "2" download only, "3" both ways with edits; any other
  // value is the older both-ways direction that only adds missing files.
  function direction(syncType) {
    if (syncType === '1') return { kind: 'up', label: '仅上传' };
    if (syncType === '2') return { kind: 'down', label: '仅下载' };
    if (syncType === '3') return { kind: 'both', label: '双向同步' };
    return { kind: 'fill', label: '仅补齐缺失文件' };
  }

  const UNITS = { bytes: 1, kb: 1024, mb: 1048576, gb: 1073741824 };

  // Bytes of a size text the window wrote ("1.50 KB", "512 bytes", "2.00 MB/s").
  function sizeBytes(text) {
    const m = /^\s*([\d.]+)\s*(bytes|kb|mb|gb)?/i.exec(String(text));
    if (!m) return 0;
    return Math.round(Number(m[1]) * (UNITS[(m[2] || 'bytes').toLowerCase()] || 1)) || 0;
  }

  // The window's own size text for a byte count.
  function sizeText(bytes) {
    if (!(bytes >= 0)) return '0';
    if (bytes < 1024) return `${Math.floor(bytes)} bytes`;
    if (bytes < 1048576) return `${(bytes / 1024).toFixed(2)} KB`;
    if (bytes < 1073741824) return `${(bytes / 1048576).toFixed(2)} MB`;
    return `${(bytes / 1073741824).toFixed(2)} GB`;
  }

  function durationText(seconds) {
    const s = Math.max(1, Math.round(seconds));
    if (s < 60) return `${s} 秒`;
    if (s < 3600) return `${Math.floor(s / 60)} 分 ${s % 60} 秒`;
    return `${Math.floor(s / 3600)} 小时 ${Math.floor((s % 3600) / 60)} 分`;
  }

  // A server path ("@" + space id + "/...") as "space name / path" when the
  // space is known; anything else as it stands.
  function spaceLabel(path, names) {
    const text = String(path == null ? '' : path);
    if (!text.startsWith('@')) return text;
    const cut = text.indexOf('/');
    const id = cut < 0 ? text.slice(1) : text.slice(1, cut);
    const name = names && Object.prototype.hasOwnProperty.call(names, id) ? names[id] : '';
    if (!name) return text;
    const rest = cut < 0 ? '' : text.slice(cut + 1).replace(/\/+$/, '');
    return rest ? `${name} / ${rest}` : name;
  }

  global.KRows = {
    SEP, parseObject, parseJson, configs, logs, errors, formatTime, baseName, folderOf, direction,
    sizeBytes, sizeText, durationText, spaceLabel,
  };
})(window);
