// The transfer list behind the main page. Rows live in a map by key; the
// live rows of each file are found by its logid; four ordered sections
// (running, failed, waiting, done, shown in that order) give any window of
// the list by position. Every event costs the same however many rows wait.
(function (global) {
  'use strict';

  const SECTIONS = ['running', 'failed', 'waiting', 'done'];
  // Finished rows kept on show; the oldest go first.
  const DONE_KEPT = 200;

  const clampPercent = (value) => Math.max(0, Math.min(100, Number(value) || 0));

  class KTransfers {
    constructor() {
      this.clear();
    }

    clear() {
      this.rows = new Map();
      this.sections = {};
      SECTIONS.forEach((name) => { this.sections[name] = new KOrderedKeys(); });
      this.liveOf = new Map();      // logid -> keys of its waiting or running rows, oldest first
      this.failedOf = new Map();    // logid -> key of its failed row
      this.owedFinishes = new Map(); // logid -> finishes still to come for jobs that failed
      this.seq = 0;
      this.finished = 0;
      this.pendingBytes = 0;        // sizes of the waiting and running rows
    }

    get size() {
      return SECTIONS.reduce((sum, name) => sum + this.sections[name].size, 0);
    }

    // A queued job; record is the window's row record.
    add(record) {
      const text = (key) => (record[key] == null ? '' : String(record[key]));
      const logid = text('logid');
      this.dropFailed(logid); // the file is being tried again
      const row = {
        key: ++this.seq, logid, type: text('type') === 'download' ? 'download' : 'upload',
        local: text('local'), space: text('space'), name: KRows.baseName(text('local')),
        readsize: text('readsize') || text('transfer'), totalsize: text('totalsize'), speed: text('speed'),
        percent: clampPercent(text('percent')), state: 'waiting', reason: '', retrying: false,
        totalBytes: KRows.sizeBytes(text('totalsize')), readBytes: 0, speedBytes: 0,
      };
      this.rows.set(row.key, row);
      this.sections.waiting.add(row.key);
      const live = this.liveOf.get(logid);
      if (live) live.push(row.key);
      else this.liveOf.set(logid, [row.key]);
      this.pendingBytes += row.totalBytes;
      return row;
    }

    // A file queued twice has two live rows; the older one is the one moving.
    liveRow(logid) {
      const live = this.liveOf.get(String(logid));
      return live ? this.rows.get(live[0]) : undefined;
    }

    refresh(logid, progress, speed, percent) {
      const row = this.liveRow(logid);
      if (!row) return undefined;
      if (row.state === 'waiting') this.move(row, 'running');
      row.readsize = String(progress);
      row.speed = String(speed);
      row.percent = clampPercent(percent);
      row.readBytes = KRows.sizeBytes(progress);
      row.speedBytes = KRows.sizeBytes(speed);
      return row;
    }

    // The job failed; its finish follows and must leave the row failed.
    fail(logid, reason) {
      const row = this.liveRow(logid);
      if (!row) return undefined;
      this.leaveLive(row);
      this.dropFailed(row.logid);
      this.move(row, 'failed');
      row.speed = '';
      row.speedBytes = 0;
      row.reason = String(reason);
      this.failedOf.set(row.logid, row.key);
      this.owedFinishes.set(row.logid, (this.owedFinishes.get(row.logid) || 0) + 1);
      return row;
    }

    finish(logid) {
      const id = String(logid);
      const owed = this.owedFinishes.get(id) || 0;
      if (owed > 0) {
        if (owed > 1) this.owedFinishes.set(id, owed - 1);
        else this.owedFinishes.delete(id);
        return undefined;
      }
      const row = this.liveRow(id);
      if (!row) return undefined;
      this.leaveLive(row);
      this.move(row, 'done');
      row.percent = 100;
      row.speed = '';
      row.speedBytes = 0;
      this.finished += 1;
      this.trimDone();
      return row;
    }

    clearFinished() {
      for (const key of this.sections.done) this.rows.delete(key);
      this.sections.done.clear();
    }

    // At most count rows from position first, in section order.
    slice(first, count) {
      const rows = [];
      let index = Math.max(0, first);
      for (const name of SECTIONS) {
        const section = this.sections[name];
        while (index < section.size && rows.length < count) {
          rows.push(this.rows.get(section.at(index)));
          index += 1;
        }
        if (rows.length >= count) break;
        index -= section.size;
      }
      return rows;
    }

    failedRows() {
      return Array.from(this.sections.failed, (key) => this.rows.get(key));
    }

    // Counts, overall speed (bytes/s) and seconds left (null while nothing moves).
    totals() {
      let speed = 0;
      let moved = 0;
      for (const key of this.sections.running) {
        const row = this.rows.get(key);
        speed += row.speedBytes;
        moved += row.readBytes;
      }
      const left = Math.max(0, this.pendingBytes - moved);
      const s = this.sections;
      return {
        running: s.running.size, waiting: s.waiting.size, failed: s.failed.size, done: this.finished,
        doneShown: s.done.size, total: this.size, speed, bytesLeft: left, secondsLeft: speed > 0 ? left / speed : null,
      };
    }

    leaveLive(row) {
      const live = this.liveOf.get(row.logid);
      const at = live ? live.indexOf(row.key) : -1;
      if (at >= 0) live.splice(at, 1);
      if (live && !live.length) this.liveOf.delete(row.logid);
      this.pendingBytes -= row.totalBytes;
    }

    move(row, state) {
      this.sections[row.state].remove(row.key);
      row.state = state;
      this.sections[state].add(row.key);
    }

    dropFailed(logid) {
      const key = this.failedOf.get(logid);
      if (key === undefined) return;
      this.failedOf.delete(logid);
      this.sections.failed.remove(key);
      this.rows.delete(key);
    }

    trimDone() {
      const done = this.sections.done;
      while (done.size > DONE_KEPT) {
        const key = done.at(0);
        done.remove(key);
        this.rows.delete(key);
      }
    }
  }

  global.KTransfers = KTransfers;
})(window);
