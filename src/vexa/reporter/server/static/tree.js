// The run's tree, loaded a page of children at a time as nodes are expanded.
// Each node is a model object holding its row; elements exist only for the
// rows that have been shown.

import {duration, h, isProblem, pathKey, resultOf, resultParts, span} from "./dom.js";

export const PAGE = 200;       // children fetched per page
const REVEAL_PAGES = 4;        // pages searched for a node to reveal before it is fetched alone

// A node's dictionary (as the server gives one node) in the shape of a row.
export function rowOf(node, path) {
  const kids = Array.isArray(node.sections) ? node.sections : Array.isArray(node.tasks) ? node.tasks : [];
  let runtime = typeof node.runtime === "number" ? node.runtime : span(node.starttime, node.stoptime);
  return {id: path.length ? path[path.length - 1] : node.id, path, type: node.type ?? null,
          result: resultOf(node.result), runtime, children: kids.length};
}

const ROW = h("div", {class: "row"},
  h("span", {class: "name"}, h("span", {class: "twisty", "aria-hidden": "true"}), h("span", {class: "id"})),
  h("span", {class: "type"}),
  h("span", {class: "result"}, h("span", {class: "sym", "aria-hidden": "true"}), ""),
  h("span", {class: "time"}),
  h("span", {class: "share", "aria-hidden": "true"}, h("span", {class: "fill"})));

class TreeNode {
  constructor(row, parent) {
    this.row = row;
    this.key = pathKey(row.path);
    this.parent = parent;
    this.depth = parent ? parent.depth + 1 : 0;
    this.kids = null;          // null until the first page is loaded
    this.next = null;          // cursor of the next page, if any
    this.fixed = false;        // kids are a chosen subset (problems only): no paging
    this.expanded = false;
    this.li = null;
    this.group = null;
    this.more = null;
  }

  get expandable() {
    return this.fixed ? this.kids.length > 0 : this.row.children > 0;
  }
}

export class Tree {
  // options: source, key, onSelect(node), onError(what, err), marks (Map key -> label)
  constructor(host, options) {
    this.source = options.source;
    this.key = options.key;
    this.onSelect = options.onSelect || (() => {});
    this.onError = options.onError || (() => {});
    this.marks = options.marks || new Map();
    this.ul = h("ul", {class: "tree", role: "tree", "aria-label": "Run tree"});
    this.ul.addEventListener("keydown", (e) => this.keydown(e));
    this.ul.addEventListener("click", (e) => this.click(e));
    this.ul.addEventListener("dblclick", (e) => this.dblclick(e));
    this.ul.addEventListener("focusin", (e) => {
      const node = this.nodeOf(e);
      if (node && node !== this.focused) this.focus(node, false);
    });
    this.tail = h("div", {class: "tree-tail"});
    host.replaceChildren(this.ul, this.tail);
    this.byKey = new Map();
    this.byLi = new WeakMap();
    this.focused = null;
    this.selected = null;
    this.running = false;
  }

  // -- building --------------------------------------------------------------

  // `firstPage`: the root's first page of children, when already asked for.
  async showAll(runRow, firstPage = null) {
    this.reset(runRow);
    await this.loadPage(this.root, PAGE, firstPage);
  }

  reset(runRow) {
    this.ul.replaceChildren();
    this.tail.replaceChildren();
    this.byKey.clear();
    this.root = new TreeNode({...runRow, path: []}, null);
    this.root.group = this.ul;
    this.root.expanded = true;
    this.focused = this.selected = null;
  }

  register(node) {
    if (!this.byKey.has(node.key)) this.byKey.set(node.key, node);
  }

  // The next page of a node's children, drawn at the end of its group.
  async loadPage(node, limit = PAGE, asked = null) {
    const first = node.kids === null;
    const page = await (asked || this.source.children(this.key, node.row.path, first ? null : node.next, limit));
    if (first) node.kids = [];
    const pinned = node.kids.filter((k) => k.pinned);
    node.kids = node.kids.filter((k) => !k.pinned);
    const fragment = document.createDocumentFragment();
    for (const row of page.children) {
      const at = pinned.findIndex((p) => p.key === pathKey(row.path));
      let kid;
      if (at >= 0) {
        kid = pinned.splice(at, 1)[0];
        kid.pinned = false;
      } else {
        kid = new TreeNode(row, node);
        this.register(kid);
      }
      kid.index = node.kids.length;
      node.kids.push(kid);
      fragment.append(kid.li || this.element(kid));
    }
    node.next = page.next;
    for (const p of pinned) {
      p.index = node.kids.length;
      node.kids.push(p);
    }
    this.ensureGroup(node);
    node.group.append(fragment, ...pinned.map((p) => p.li));
    this.updateMore(node);
    // The tree is one tab stop: its focused row, else its first.
    if (!this.focused && node === this.root && node.kids.length) node.kids[0].li.tabIndex = 0;
    if (node.expanded) this.drawn(node);
  }

  ensureGroup(node) {
    if (node.group) return;
    node.group = h("ul", {role: "group"});
    node.li.append(node.group);
  }

  updateMore(node) {
    const want = !node.fixed && node.next;
    if (!want) {
      if (node.more) node.more.remove();
      node.more = null;
      return;
    }
    const shown = node.kids.filter((k) => !k.pinned).length;
    const label = "Show more (" + shown.toLocaleString("en") + " of " +
      (node.row.children ?? "?").toLocaleString("en") + " shown)";
    if (!node.more) {
      node.more = h("li", {class: "more", role: "none"},
        h("button", {type: "button", onclick: () => this.more(node)}, label));
      node.group.append(node.more);
    } else {
      node.more.firstChild.textContent = label;
      node.group.append(node.more);
    }
    // Pinned rows (revealed beyond the pages loaded) stay after the button.
    for (const k of node.kids) if (k.pinned) node.group.append(k.li);
  }

  async more(node) {
    try {
      await this.loadPage(node);
    } catch (err) {
      this.onError("Could not load more children:", err);
    }
  }

  element(node) {
    const row = node.row;
    const li = h("li", {role: "treeitem", tabindex: "-1", "aria-level": node.depth,
                        "aria-selected": "false"});
    node.li = li;
    this.byLi.set(li, node);
    li.append(this.rowElement(node));
    if (node.expandable) li.setAttribute("aria-expanded", String(node.expanded));
    return li;
  }

  // Rows are clones of one prototype, filled in: far cheaper than building
  // each element anew when a thousand rows arrive at once.
  rowElement(node) {
    const row = node.row;
    const el = ROW.cloneNode(true);
    const [name, type, result, time, share] = el.children;
    name.lastChild.textContent = typeof row.id === "string" ? row.id : JSON.stringify(row.id);
    const mark = this.marks.get(node.key);
    if (mark) name.append(h("span", {class: "mark m-" + mark.replace(/ /g, "-")}, mark));
    type.textContent = row.type ?? "";
    const r = resultParts(row.result, this.running);
    result.className = r.cls;
    result.firstChild.textContent = r.sym;
    result.lastChild.data = r.word;
    time.textContent = duration(row.runtime);
    const parentTime = node.parent && node.parent.row.runtime;
    if (typeof row.runtime === "number" && parentTime > 0) {
      const share100 = Math.min(100, 100 * row.runtime / parentTime);
      share.firstChild.style.setProperty("width", share100.toFixed(1) + "%");
      share.title = share100.toFixed(1) + "% of the parent's time";
    }
    if (isProblem(row.result)) el.classList.add("problem");
    el.style.setProperty("--depth", String(node.depth - 1));
    return el;
  }

  redraw(node) {
    if (!node.li) return;
    node.li.firstChild.replaceWith(this.rowElement(node));
    if (node.expandable) node.li.setAttribute("aria-expanded", String(node.expanded));
    else node.li.removeAttribute("aria-expanded");
  }

  // Called after a node's children are drawn. The first level, once painted,
  // is marked on the page's timeline for benchmarks to read.
  drawn(node) {
    if (node !== this.root || this.firstDrawn) return;
    this.firstDrawn = true;
    requestAnimationFrame(() => setTimeout(() => performance.mark("vexa-first-level"), 0));
  }

  // -- expanding ---------------------------------------------------------------

  async expand(node) {
    if (!node.expandable || node.expanded) return;
    node.expanded = true;
    node.li.setAttribute("aria-expanded", "true");
    node.li.setAttribute("aria-busy", "true");
    try {
      if (node.kids === null) await this.loadPage(node);
      else if (node.group) node.group.hidden = false;
      this.drawn(node);
    } catch (err) {
      node.expanded = false;
      node.li.setAttribute("aria-expanded", "false");
      this.onError("Could not load the children of this node:", err);
    } finally {
      node.li.removeAttribute("aria-busy");
    }
  }

  collapse(node) {
    if (!node.expanded || node === this.root) return;
    node.expanded = false;
    node.li.setAttribute("aria-expanded", "false");
    if (node.group) node.group.hidden = true;
    if (this.focused && this.isBelow(this.focused, node)) this.focus(node);
  }

  toggle(node) {
    return node.expanded ? this.collapse(node) : this.expand(node);
  }

  isBelow(node, ancestor) {
    for (let n = node.parent; n; n = n.parent) if (n === ancestor) return true;
    return false;
  }

  // Expands the tree down to the node at `path` and selects it; false when
  // there is no such node.
  async reveal(path) {
    let node = this.root;
    for (let depth = 1; depth <= path.length; depth++) {
      const key = pathKey(path.slice(0, depth));
      if (node !== this.root) await this.expand(node);
      if (node.kids === null) return false;
      let found = node.kids.find((k) => k.key === key);
      for (let pages = 0; !found && node.next && !node.fixed && pages < REVEAL_PAGES; pages++) {
        await this.loadPage(node, 1000);
        found = node.kids.find((k) => k.key === key);
      }
      if (!found) {
        if (node.fixed) return false;
        // Far down a long list: fetch it alone and pin it after what is loaded.
        let dict;
        try {
          dict = await this.source.node(this.key, path.slice(0, depth));
        } catch (err) {
          if (err.status === 404) return false;
          throw err;
        }
        found = new TreeNode(rowOf(dict, path.slice(0, depth)), node);
        found.pinned = true;
        found.index = node.kids.length;
        node.kids.push(found);
        this.register(found);
        this.ensureGroup(node);
        node.group.append(this.element(found));
      }
      node = found;
    }
    if (node === this.root) return false;
    this.focus(node, true);
    this.select(node);
    return true;
  }

  // -- problems only -----------------------------------------------------------

  // Only the paths down to the given rows, opened; the rows themselves load
  // their children as usual when expanded.
  async addPaths(rows) {
    const needed = new Map();
    for (const row of rows) {
      for (let d = 1; d < row.path.length; d++) {
        const key = pathKey(row.path.slice(0, d));
        if (!this.byKey.has(key)) needed.set(key, row.path.slice(0, d));
      }
    }
    const fetched = new Map();
    const paths = [...needed.values()];
    for (let i = 0; i < paths.length; i += 8) {
      const batch = paths.slice(i, i + 8);
      const dicts = await Promise.all(batch.map((p) => this.source.node(this.key, p)));
      batch.forEach((p, j) => fetched.set(pathKey(p), rowOf(dicts[j], p)));
    }
    for (const row of rows) {
      let node = this.root;
      for (let d = 1; d <= row.path.length; d++) {
        const sub = row.path.slice(0, d);
        const key = pathKey(sub);
        let kid = this.byKey.get(key);
        if (!kid) {
          kid = new TreeNode(d === row.path.length ? row : fetched.get(key), node);
          this.register(kid);
          if (d < row.path.length) {
            kid.fixed = true;
            kid.kids = [];
            kid.expanded = true;
          }
          kid.index = node.kids.length;
          node.kids.push(kid);
          this.ensureGroup(node);
          node.group.append(this.element(kid));
          if (kid.fixed) kid.li.setAttribute("aria-expanded", "true");  // its kids follow
        } else if (d < row.path.length && !kid.kids) {
          kid.fixed = true;
          kid.kids = [];
          kid.expanded = true;
          this.redraw(kid);
        }
        node = kid;
      }
    }
    if (!this.focused && this.root.kids.length) this.root.kids[0].li.tabIndex = 0;
    this.drawn(this.root);
  }

  // -- live updates --------------------------------------------------------------

  // A changed row: redrawn if shown; expanded nodes that gained children get them.
  async update(row) {
    const node = this.byKey.get(pathKey(row.path));
    if (!node || node === this.root) return;
    const grew = row.children !== node.row.children;
    node.row = {...node.row, ...row, id: node.row.id};
    this.redraw(node);
    if (grew && node.kids !== null && !node.fixed) await this.reload(node);
  }

  // Reloads a node's children that were loaded (as many as were shown).
  async reload(node) {
    if (node.kids === null) return;
    const shown = Math.max(PAGE, node.kids.length);
    const page = await this.source.children(this.key, node.row.path, null, Math.min(shown, 1000));
    const old = new Map(node.kids.map((k) => [k.key, k]));
    node.kids = [];
    const fragment = document.createDocumentFragment();
    for (const row of page.children) {
      let kid = old.get(pathKey(row.path));
      if (kid) {
        old.delete(kid.key);
        const changed = JSON.stringify(kid.row) !== JSON.stringify({...kid.row, ...row, id: kid.row.id});
        kid.row = {...kid.row, ...row, id: kid.row.id};
        if (changed) this.redraw(kid);
      } else {
        kid = new TreeNode(row, node);
        this.register(kid);
        this.element(kid);
      }
      kid.index = node.kids.length;
      node.kids.push(kid);
      fragment.append(kid.li);
    }
    for (const gone of old.values()) this.forget(gone);
    node.next = page.next;
    this.ensureGroup(node);
    node.group.replaceChildren(fragment);
    this.updateMore(node);
  }

  // After more changes than are worth reading one by one.
  async reloadAll() {
    const open = [this.root, ...[...this.byKey.values()].filter((n) => n.expanded)];
    for (const node of open) if (node.kids !== null && !node.fixed && node.li !== undefined) await this.reload(node);
  }

  // A node gone from the run: it and all under it leave the tree.
  remove(path) {
    const node = this.byKey.get(pathKey(path));
    if (!node || node === this.root) return;
    const sibs = node.parent.kids || [];
    const at = sibs.indexOf(node);
    if (at >= 0) sibs.splice(at, 1);
    sibs.forEach((kid, i) => { kid.index = i; });
    if (node.li) node.li.remove();
    this.forget(node);
  }

  forget(node) {
    if (this.byKey.get(node.key) === node) this.byKey.delete(node.key);
    for (const k of node.kids || []) this.forget(k);
    if (this.focused === node) this.focused = null;
  }

  setMarks(marks) {
    this.marks = marks;
    for (const node of this.byKey.values()) this.redraw(node);
  }

  // -- focus and keys ---------------------------------------------------------

  focus(node, scroll = true) {
    if (!node || !node.li) return;
    if (this.focused && this.focused.li) this.focused.li.tabIndex = -1;
    else if (this.root.kids && this.root.kids.length) this.root.kids[0].li.tabIndex = -1;
    this.focused = node;
    node.li.tabIndex = 0;
    node.li.focus({preventScroll: true});
    if (scroll) node.li.firstChild.scrollIntoView({block: "nearest"});
  }

  select(node) {
    if (this.selected && this.selected.li) this.selected.li.setAttribute("aria-selected", "false");
    this.selected = node;
    node.li.setAttribute("aria-selected", "true");
    this.onSelect(node);
  }

  // The row below `node`, or {more: owner} when the next row is the first
  // of a page not loaded yet.
  visibleNext(node) {
    if (node.expanded && node.kids && node.kids.length) return node.kids[0];
    if (node.expanded && node.next && !node.fixed) return {more: node};
    for (let n = node; n && n !== this.root; n = n.parent) {
      const sibs = n.parent.kids;
      if (n.index + 1 < sibs.length && !sibs[n.index + 1].pinned) return sibs[n.index + 1];
      if (n.parent.next && !n.parent.fixed) return {more: n.parent};
      if (n.index + 1 < sibs.length) return sibs[n.index + 1];
    }
    return null;
  }

  visiblePrev(node) {
    if (node.index > 0) return this.lastVisible(node.parent.kids[node.index - 1]);
    return node.parent === this.root ? null : node.parent;
  }

  lastVisible(node) {
    while (node.expanded && node.kids && node.kids.length) node = node.kids[node.kids.length - 1];
    return node;
  }

  async keydown(e) {
    const node = this.focused;
    if (!node || e.altKey || e.ctrlKey || e.metaKey) return;
    let target = null;
    switch (e.key) {
      case "ArrowDown":
        target = this.visibleNext(node);
        if (target && target.more) {
          // Past the last row loaded: the keyboard loads the next page.
          e.preventDefault();
          const owner = target.more;
          const before = owner.kids.filter((k) => !k.pinned).length;
          await this.more(owner);
          target = owner.kids[before] || null;
        }
        break;
      case "ArrowUp": target = this.visiblePrev(node); break;
      case "ArrowRight":
        if (node.expandable && !node.expanded) { e.preventDefault(); await this.expand(node); return; }
        if (node.expanded && node.kids && node.kids.length) target = node.kids[0];
        break;
      case "ArrowLeft":
        if (node.expanded) { e.preventDefault(); this.collapse(node); return; }
        if (node.parent !== this.root) target = node.parent;
        break;
      case "Home": target = this.root.kids[0] || null; break;
      case "End": target = this.root.kids.length ? this.lastVisible(this.root.kids[this.root.kids.length - 1]) : null; break;
      case "Enter": case " ":
        e.preventDefault();
        this.select(node);
        await this.toggle(node);
        return;
      default: return;
    }
    e.preventDefault();
    if (target) {
      this.focus(target);
      this.select(target);
    }
  }

  nodeOf(event) {
    const li = event.target.closest("li[role=treeitem]");
    return li && this.ul.contains(li) ? this.byLi.get(li) : null;
  }

  click(e) {
    const node = this.nodeOf(e);
    if (!node || e.target.closest("button")) return;
    this.focus(node, false);
    if (e.target.closest(".twisty")) this.toggle(node);
    else this.select(node);
  }

  dblclick(e) {
    const node = this.nodeOf(e);
    if (node && !e.target.closest(".twisty")) this.toggle(node);
  }
}
