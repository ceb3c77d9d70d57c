// A run held in the page itself (the one-file report of `vexa html`): the
// methods of HttpSource answered from the page's data blocks, with nothing
// fetched. Nodes are numbered in tree order; columns give each one's
// children count, id, type, result, runtime and times, and a record of its
// other fields that is decoded only when its details are shown. Blocks are
// read when first needed: the header needs none but "vexa-meta".

import {resultOf} from "./dom.js";
import {RequestError} from "./source-http.js";

const KEY = 1;
const MAX_PAGE = 1000;

function missing(what) {
  return new RequestError(what + " is not part of a report file", 404);
}

// One JSON text per line, each parsed when first asked for.
class Lines {
  constructor(text) {
    this.text = text;
    this.starts = null;
  }

  get(i) {
    if (!this.starts) {
      const starts = [0];
      for (let at = this.text.indexOf("\n"); at >= 0; at = this.text.indexOf("\n", at + 1)) starts.push(at + 1);
      this.starts = starts;
    }
    if (!(i >= 0 && i < this.starts.length)) throw new RequestError("the report data in this page is damaged", 500);
    const end = i + 1 < this.starts.length ? this.starts[i + 1] - 1 : this.text.length;
    return JSON.parse(this.text.slice(this.starts[i], end));
  }
}

// A time as Python writes it: "2026-03-01 10:00:00.123456" and the zone.
function wallText(us, zone) {
  const seconds = Math.floor(us / 1e6);
  const fraction = us - seconds * 1e6;
  const iso = new Date(seconds * 1000).toISOString();
  return iso.slice(0, 10) + " " + iso.slice(11, 19) + (fraction ? "." + String(fraction).padStart(6, "0") : "") + zone;
}

function idText(id) {
  return typeof id === "string" ? id : JSON.stringify(id);
}

// Ids compare as JSON values of their type: 7 and "7" differ.
function idKey(id) {
  return typeof id === "string" ? "s" + id : "j" + JSON.stringify(id);
}

function page(cursor, limit) {
  const from = cursor ? Number(cursor) : 0;
  if (!Number.isInteger(from) || from < 0) throw new RequestError("not a cursor of this report: " + cursor, 400);
  const size = Math.min(Math.max(1, Number(limit) || 200), MAX_PAGE);
  return [from, size];
}

export class EmbeddedSource {
  constructor(doc = document) {
    this.doc = doc;
    this.can = {runs: false, compare: false, live: false, logs: false};
    this.meta = JSON.parse(this.block("meta"));
    this.cols = null;
  }

  block(name) {
    const el = this.doc.getElementById("vexa-" + name);
    if (!el) throw new RequestError("this page holds no report", 500);
    return el.textContent;
  }

  // The columns and ids, with each node's parent and subtree size.
  load() {
    if (this.cols) return this.cols;
    const cols = JSON.parse(this.block("columns"));
    const ids = JSON.parse(this.block("ids"));
    const kids = cols.kids, n = kids.length;
    const parent = new Int32Array(n), size = new Int32Array(n);
    const stackNode = new Int32Array(n + 1), stackLeft = new Int32Array(n + 1);
    let top = -1;
    for (let i = 0; i < n; i++) {
      if (top >= 0) { parent[i] = stackNode[top]; stackLeft[top]--; } else parent[i] = -1;
      if (kids[i] > 0) { top++; stackNode[top] = i; stackLeft[top] = kids[i]; continue; }
      size[i] = 1;
      while (top >= 0 && stackLeft[top] === 0) { size[stackNode[top]] = i - stackNode[top] + 1; top--; }
    }
    for (; top >= 0; top--) size[stackNode[top]] = n - stackNode[top];
    this.cols = {...cols, ids, parent, size, n, keys: new Array(ids.length), texts: null};
    this.records = new Lines(this.block("records"));
    this.values = new Lines(this.block("values"));
    return this.cols;
  }

  path(i) {
    const c = this.load(), out = [];
    for (; i > 0; i = c.parent[i]) out.push(c.ids[c.id[i]]);
    return out.reverse();
  }

  row(i, path = this.path(i)) {
    const c = this.cols;
    return {id: path.length ? path[path.length - 1] : c.ids[c.id[i]], path, type: this.meta.types[c.type[i]],
            result: resultOf(this.meta.results[c.result[i]]), runtime: c.runtime[i], children: c.kids[i]};
  }

  // The node at the end of a path of ids, or -1.
  find(path) {
    const c = this.load();
    if (!Array.isArray(path)) return -1;
    let i = 0;
    for (const id of path) {
      const want = idKey(id);
      let child = -1;
      for (let k = i + 1, end = i + c.size[i]; k < end; k += c.size[k]) {
        const slot = c.id[k];
        if ((c.keys[slot] ??= idKey(c.ids[slot])) === want) { child = k; break; }
      }
      if (child < 0) return -1;
      i = child;
    }
    return i;
  }

  check(key) {
    if (Number(key) !== KEY) throw new RequestError("no such run", 404);
  }

  // -- what the pages ask --------------------------------------------------------

  async info(key) {
    this.check(key);
    return this.meta.info;
  }

  async children(key, path, cursor, limit) {
    this.check(key);
    const c = this.load();
    const i = this.find(path);
    if (i < 0) throw new RequestError("no such node", 404);
    const size = Math.min(Math.max(1, Number(limit) || 200), MAX_PAGE);
    const end = i + c.size[i];
    let k = cursor ? Number(cursor) : i + 1;
    if (!Number.isInteger(k) || k <= i || k > end || (k < end && c.parent[k] !== i)) {
      throw new RequestError("not a cursor of this report: " + cursor, 400);
    }
    const rows = [];
    for (; k < end && rows.length < size; k += c.size[k]) rows.push(this.row(k, [...path, c.ids[c.id[k]]]));
    return {children: rows, next: k < end ? String(k) : null};
  }

  async node(key, path) {
    this.check(key);
    const i = this.find(path);
    if (i < 0) throw new RequestError("no such node", 404);
    return this.fields(i, path);
  }

  // A node's fields in their order, as its results file has them.
  fields(i, path) {
    const c = this.cols, meta = this.meta;
    const [shape, ...values] = this.records.get(c.rest[i]);
    const [keys, flags] = meta.shapes[shape];
    const time = meta.time;
    const out = {};
    let v = 0;
    for (let j = 0; j < keys.length; j++) {
      const k = keys[j];
      let value;
      if (flags[j] === "0") {
        value = this.values.get(values[v++]);
      } else {
        switch (k) {
          case "type": value = meta.types[c.type[i]]; break;
          case "id": value = c.ids[c.id[i]]; break;
          case "result": value = {value: meta.results[c.result[i]]}; break;
          case "runtime": value = c.runtime[i]; break;
          case "starttime": value = wallText(time.base + c.start[i], time.zone); break;
          case "stoptime": value = wallText(time.base + c.start[i] + c.stop[i], time.zone); break;
          case "idlist": value = [...meta.prefix, ...path]; break;
          case "fullid": value = [...meta.prefix, ...path].map(String).join("."); break;
          default:  // the children, by their ids
            value = [];
            for (let m = i + 1, end = i + c.size[i]; m < end; m += c.size[m]) value.push(c.ids[c.id[m]]);
        }
      }
      // Defined, not assigned: a field named "__proto__" stays a field, as JSON.parse keeps it.
      Object.defineProperty(out, k, {value, enumerable: true, writable: true, configurable: true});
    }
    return out;
  }

  async problems(key, cursor, limit) {
    this.check(key);
    const c = this.load();
    const [from, size] = page(cursor, limit);
    const rows = c.problems.slice(from, from + size).map((i) => this.row(i));
    return {problems: rows, next: from + size < c.problems.length ? String(from + size) : null};
  }

  // Nodes whose path (ids joined by "/") holds the text, ignoring case.
  async search(key, q, cursor, limit) {
    this.check(key);
    const c = this.load();
    const needle = String(q).toLowerCase();
    const [from, size] = page(cursor, limit);
    if (!c.texts) c.texts = c.ids.map((id) => idText(id).toLowerCase());
    const rows = [];
    const nodes = [], texts = [];  // the path being walked, and its texts
    let i = Math.max(1, from);
    for (let a = c.parent[i]; a > 0; a = c.parent[a]) nodes.push(a);
    nodes.reverse();
    for (const a of nodes) texts.push((texts.length ? texts[texts.length - 1] + "/" : "") + c.texts[c.id[a]]);
    for (; i < c.n; i++) {
      const p = c.parent[i];
      while (nodes.length && nodes[nodes.length - 1] !== p) { nodes.pop(); texts.pop(); }
      const text = (texts.length ? texts[texts.length - 1] + "/" : "") + c.texts[c.id[i]];
      if (text.includes(needle)) {
        if (rows.length === size) return {nodes: rows, next: String(i)};
        rows.push(this.row(i));
      }
      if (c.kids[i] > 0) { nodes.push(i); texts.push(text); }
    }
    return {nodes: rows, next: null};
  }

  async runs() { throw missing("a list of runs"); }
  async changed() { throw missing("live refresh"); }
  async log() { throw missing("a log file"); }
  async diff() { throw missing("comparison"); }
}
