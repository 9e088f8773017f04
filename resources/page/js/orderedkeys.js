// Keys in the order they were added, with positional access: add at the end,
// remove anywhere, and find the i-th key, each in O(log n), so a list of
// 100,000 transfers costs no more per event than a list of ten. Each key has
// a slot; a Fenwick tree counts the live slots, and removed slots are
// compacted away once they outnumber the live ones.
(function (global) {
  'use strict';

  const MIN_CAPACITY = 64;

  class KOrderedKeys {
    constructor() {
      this.clear();
    }

    clear() {
      this.slots = [];
      this.slotOf = new Map();
      this.alive = 0;
      this.build(MIN_CAPACITY);
    }

    get size() { return this.alive; }

    has(key) { return this.slotOf.has(key); }

    add(key) {
      if (this.slotOf.has(key)) return;
      if (this.slots.length >= this.capacity) this.compact();
      const slot = this.slots.length;
      this.slots.push(key);
      this.slotOf.set(key, slot);
      this.bump(slot, 1);
      this.alive += 1;
    }

    remove(key) {
      const slot = this.slotOf.get(key);
      if (slot === undefined) return false;
      this.slotOf.delete(key);
      this.slots[slot] = undefined;
      this.bump(slot, -1);
      this.alive -= 1;
      if (this.slots.length - this.alive > this.alive + MIN_CAPACITY) this.compact();
      return true;
    }

    // The key at position index among the live ones, or undefined.
    at(index) {
      if (index < 0 || index >= this.alive) return undefined;
      let position = 0;
      let rest = index + 1;
      for (let step = this.topStep; step > 0; step >>= 1) {
        const next = position + step;
        if (next <= this.capacity && this.tree[next] < rest) {
          position = next;
          rest -= this.tree[next];
        }
      }
      return this.slots[position];
    }

    // Live keys in order (copy them before removing any).
    * [Symbol.iterator]() {
      for (const key of this.slots) {
        if (key !== undefined) yield key;
      }
    }

    bump(slot, delta) {
      for (let i = slot + 1; i <= this.capacity; i += i & -i) this.tree[i] += delta;
    }

    compact() {
      const live = this.slots.filter((key) => key !== undefined);
      this.slots = live;
      this.slotOf = new Map(live.map((key, slot) => [key, slot]));
      this.build(Math.max(MIN_CAPACITY, live.length * 2));
    }

    // A Fenwick tree over the current slots, built in linear time.
    build(capacity) {
      this.capacity = capacity;
      this.tree = new Int32Array(capacity + 1);
      for (let i = 1; i <= capacity; i += 1) {
        if (i <= this.slots.length && this.slots[i - 1] !== undefined) this.tree[i] += 1;
        const parent = i + (i & -i);
        if (parent <= capacity) this.tree[parent] += this.tree[i];
      }
      this.topStep = 1;
      while (this.topStep * 2 <= capacity) this.topStep *= 2;
    }
  }

  global.KOrderedKeys = KOrderedKeys;
})(window);
