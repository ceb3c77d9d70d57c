// The page of one run: header, tree, problems only, search, details,
// comparison with another run and live refresh while the run goes on.

import {showDetails} from "./details.js";
import {countersBar, duration, failure, h, pathKey, pathText, resultBadge, span, when} from "./dom.js";
import {PAGE, Tree} from "./tree.js";

export const LIVE_EVERY = 3000;     // ms between refreshes of a run not finished
const CHANGED_PAGES = 5;            // pages of changed nodes read per refresh, at most
const DIFF_SHOWN = 200;             // entries listed per kind of difference

const DIFF_KINDS = [
  ["newly_failing", "Newly failing"], ["fixed", "Fixed"], ["still_failing", "Still failing"],
  ["slower", "Slower"], ["added", "Added"], ["removed", "Removed"],
];

export function nodeLink(key, path) {
  return "#/run/" + key + "?node=" + encodeURIComponent(JSON.stringify(path));
}

function parsePath(text) {
  try {
    const path = JSON.parse(text);
    return Array.isArray(path) ? path : null;
  } catch (err) {
    return null;
  }
}

function runName(info) {
  return info.name ?? (typeof info.id === "string" ? info.id : JSON.stringify(info.id));
}

function header(info) {
  const fields = [
    ["Result", resultBadge(info.result, !info.finished)],
    ["Counters", countersBar(info.summary)],
    ["Start", when(info.start)],
    ["Stop", info.finished ? when(info.stop) : "running"],
    ["Runtime", duration(span(info.start_utc, info.stop_utc))],
    ["Host", info.host ?? ""],
    ["Testbed", info.testbed ?? ""],
    ["Nodes", Number(info.nodes).toLocaleString("en")],
  ];
  return h("dl", {class: "header"}, fields.map(([k, v]) => h("div", null, h("dt", null, k), h("dd", null, v))));
}

export async function runPage(main, source, key, params, go) {
  const page = new RunPage(main, source, key, params, go);
  await page.start();
  return page;
}

class RunPage {
  constructor(main, source, key, params, go) {
    this.main = main;
    this.source = source;
    this.key = key;
    this.params = new URLSearchParams(params);
    this.go = go;
    this.timer = null;
    this.refreshing = false;
    this.disposed = false;
  }

  dispose() {
    this.disposed = true;
    clearTimeout(this.timer);
  }

  // The address always holds what is shown, so it can be copied as is.
  remember(changes) {
    for (const [k, v] of Object.entries(changes)) {
      if (v === null || v === undefined || v === "" || v === false) this.params.delete(k);
      else this.params.set(k, v === true ? "1" : v);
    }
    const query = this.params.toString();
    history.replaceState(null, "", "#/run/" + this.key + (query ? "?" + query : ""));
  }

  message(what, err) {
    this.messages.replaceChildren(failure(what, err));
  }

  async start() {
    const main = this.main;
    main.replaceChildren(h("p", {class: "loading"}, "Loading\u2026"));
    // The first level is asked for together with the run: one round trip less.
    const plain = this.params.get("problems") !== "1";
    const firstPage = plain ? this.source.children(this.key, [], null, PAGE) : null;
    if (firstPage) firstPage.catch(() => {});  // reported when awaited
    try {
      this.info = await this.source.info(this.key);
    } catch (err) {
      main.replaceChildren(h("h1", null, "Run " + this.key), failure("Could not load this run:", err),
        ...(this.source.can.runs ? [h("p", null, h("a", {href: "#/"}, "All runs"))] : []));
      return;
    }
    const info = this.info;
    this.generation = info.generation;
    this.head = h("div", null, header(info));
    this.live = h("span", {class: "live", role: "status"});
    this.refreshButton = h("button", {type: "button", class: "link refresh", hidden: true,
                                      onclick: () => this.refreshNow()}, "refresh now");
    this.messages = h("div", {class: "messages"});
    this.diffBox = h("section", {class: "diff", "aria-label": "Comparison"});
    this.searchBox = h("section", {class: "search-results", "aria-label": "Search results"});
    this.details = h("aside", {class: "details", "aria-label": "Details"},
      h("p", {class: "hint"}, "Select a node to see its details."));
    const treeHost = h("section", {class: "tree-host"});
    this.problemsBox = h("input", {type: "checkbox", checked: this.params.get("problems") === "1"});
    this.problemsBox.addEventListener("change", () => this.setProblems(this.problemsBox.checked));
    this.query = h("input", {type: "search", placeholder: "text in the path", "aria-label": "Search by path",
                             value: this.params.get("q") || ""});
    const searchForm = h("form", {role: "search", onsubmit: (e) => { e.preventDefault(); this.search(this.query.value); }},
      this.query, " ", h("button", {type: "submit"}, "Search"));
    const tools = h("div", {class: "tools"},
      h("label", {class: "toggle"}, this.problemsBox, " Problems only"), searchForm);
    if (this.source.can.compare) {
      this.compareSelect = h("select", {"aria-label": "Compare with"}, h("option", {value: ""}, "compare with\u2026"));
      this.compareSelect.addEventListener("change", () => this.compare(this.compareSelect.value));
      tools.append(this.compareSelect);
    }
    tools.append(this.live, this.refreshButton);
    // replaceChildren() would write a null as the text "null".
    main.replaceChildren(
      ...(this.source.can.runs ? [h("nav", {class: "crumbs"}, h("a", {href: "#/"}, "Runs"), " / ",
        info.name ? h("a", {href: "#/?name=" + encodeURIComponent(info.name)}, info.name) : runName(info))] : []),
      // A store's key tells runs apart; a page holding one run has no use for it.
      h("h1", null, runName(info), this.source.can.runs ? h("span", {class: "key"}, " #" + this.key) : null),
      this.head, tools, this.messages, this.diffBox, this.searchBox,
      h("div", {class: "split"}, treeHost, this.details));
    this.tree = new Tree(treeHost, {
      source: this.source, key: this.key,
      onSelect: (node) => this.select(node),
      onError: (what, err) => this.message(what, err),
    });
    this.tree.running = !info.finished;
    window.vexaViewer = this;  // for scripts driving the page (benchmarks)
    try {
      if (firstPage) await this.tree.showAll(this.runRow(), firstPage);
      else await this.fill();
    } catch (err) {
      this.message("Could not load the tree:", err);
    }
    const path = this.params.has("node") ? parsePath(this.params.get("node")) : null;
    if (this.params.has("node")) await this.reveal(path);
    if (this.params.get("q")) this.search(this.params.get("q"));
    if (this.compareSelect) this.fillCompare();
    if (!info.finished && this.source.can.live) this.schedule();
  }

  runRow() {
    return {id: this.info.id, path: [], type: "Runsheaf", result: this.info.result,
            runtime: span(this.info.start_utc, this.info.stop_utc), children: null};
  }

  async fill() {
    if (this.problemsBox.checked) await this.showProblems();
    else await this.tree.showAll(this.runRow());
  }

  async setProblems(on) {
    this.problemsBox.checked = on;
    this.remember({problems: on});
    this.messages.replaceChildren();
    try {
      await this.fill();
    } catch (err) {
      this.message("Could not load the tree:", err);
    }
  }

  async showProblems() {
    const tree = this.tree;
    tree.reset(this.runRow());
    tree.root.kids = [];
    tree.root.fixed = true;
    let cursor = null;
    const more = async () => {
      const page = await this.source.problems(this.key, cursor, PAGE);
      cursor = page.next;
      await tree.addPaths(page.problems.map((p) => ({...p, id: p.path[p.path.length - 1]})));
      tree.tail.replaceChildren();
      if (!tree.root.kids.length) {
        tree.tail.append(h("p", {class: "empty"}, "No problems: every test case and plugin run passed."));
      }
      if (cursor) {
        tree.tail.append(h("button", {type: "button", onclick: () => more().catch((err) =>
          this.message("Could not load more problems:", err))}, "Show more problems"));
      }
    };
    await more();
  }

  async reveal(path) {
    if (!path) {
      this.message("This link names no node:", "its path is not a list of ids");
      return false;
    }
    try {
      let found = await this.tree.reveal(path);
      if (!found && this.problemsBox.checked) {
        await this.setProblems(false);
        found = await this.tree.reveal(path);
      }
      if (!found) this.message("This run has no node", pathText(path));
      return found;
    } catch (err) {
      this.message("Could not open the node:", err);
      return false;
    }
  }

  select(node) {
    clearTimeout(this.selecting);
    this.remember({node: JSON.stringify(node.row.path)});
    // Arrow keys move quickly: fetch the details once the focus rests.
    this.selecting = setTimeout(() => showDetails(this.details, this.source, this.key, node.row.path,
      nodeLink(this.key, node.row.path), this.tree.running), 120);
  }

  // -- search ----------------------------------------------------------------

  async search(text) {
    text = text.trim();
    this.remember({q: text});
    if (!text) {
      this.searchBox.replaceChildren();
      return;
    }
    const list = h("ol", {class: "matches"});
    const status = h("p", {class: "loading"}, "Searching\u2026");
    this.searchBox.replaceChildren(h("h2", null, "Nodes whose path contains \u201c", text, "\u201d"), status, list);
    let cursor = null, count = 0;
    const more = async () => {
      let page;
      try {
        page = await this.source.search(this.key, text, cursor, 100);
      } catch (err) {
        status.replaceWith(failure("Search failed:", err));
        return;
      }
      cursor = page.next;
      count += page.nodes.length;
      for (const row of page.nodes) {
        list.append(h("li", null, h("button", {type: "button", class: "link", onclick: () => this.reveal(row.path)},
          pathText(row.path)), " ", h("span", {class: "type"}, row.type ?? ""), " ", resultBadge(row.result, this.tree.running)));
      }
      status.replaceChildren(count ? count + (cursor ? "+" : "") + " matches " : "No node's path contains this text.");
      if (cursor) status.append(h("button", {type: "button", onclick: more}, "Show more matches"));
      status.className = "status";
    };
    await more();
  }

  // -- comparison ------------------------------------------------------------

  async fillCompare() {
    let runs;
    try {
      runs = this.info.name ? (await this.source.runs({name: this.info.name, limit: 100})).runs : [];
    } catch (err) {
      this.message("Could not list runs to compare with:", err);
      return;
    }
    const others = runs.filter((r) => r.key !== this.key);
    if (!others.length) {
      this.compareSelect.replaceChildren(h("option", {value: ""}, "no other run of this name"));
      this.compareSelect.disabled = true;
    }
    for (const r of others) {
      this.compareSelect.append(h("option", {value: r.key}, "#" + r.key + " " + when(r.start) + " \u2014 " + (r.result ?? "running")));
    }
    const wanted = this.params.get("cmp");
    if (wanted) {
      this.compareSelect.value = wanted;
      await this.compare(wanted);
    }
  }

  async compare(other) {
    this.remember({cmp: other});
    if (!other) {
      this.diffBox.replaceChildren();
      this.tree.setMarks(new Map());
      return;
    }
    this.diffBox.replaceChildren(h("p", {class: "loading"}, "Comparing\u2026"));
    let diff;
    try {
      diff = await this.source.diff(Number(other), this.key);
    } catch (err) {
      this.diffBox.replaceChildren(failure("Could not compare the runs:", err));
      return;
    }
    const marks = new Map();
    for (const e of diff.fixed || []) marks.set(pathKey(e.idlist), "fixed");
    for (const e of diff.newly_failing || []) marks.set(pathKey(e.idlist), "newly failing");
    this.tree.setMarks(marks);
    const counts = diff.counts || {};
    const parts = [h("h2", null, "Changes since run #" + other)];
    const summary = DIFF_KINDS.map(([k, label]) => label + ": " + (counts[k] ?? (diff[k] || []).length)).join(" \u00b7 ");
    parts.push(h("p", {class: "status"}, summary));
    for (const [kind, label] of DIFF_KINDS) {
      const entries = diff[kind] || [];
      if (!entries.length) continue;
      const list = h("ul", null, entries.slice(0, DIFF_SHOWN).map((e) => h("li", null,
        kind === "removed" || !e.idlist.length ? pathText(e.idlist) :
          h("button", {type: "button", class: "link", onclick: () => this.reveal(e.idlist)}, pathText(e.idlist)),
        " ", h("span", {class: "type"}, e.type ?? ""), " ",
        e.old ? [resultBadge(e.old.result), " "] : null,
        e.old && e.new ? "\u2192 " : null, e.new ? resultBadge(e.new.result) : null,
        kind === "slower" ? " " + duration(e.old.runtime) + " \u2192 " + duration(e.new.runtime) : null)));
      if (entries.length > DIFF_SHOWN) list.append(h("li", null, "\u2026 and " + (entries.length - DIFF_SHOWN) + " more"));
      parts.push(h("details", {class: "kind k-" + kind, open: kind === "newly_failing" || kind === "fixed"},
        h("summary", null, label + " (" + entries.length + ")"), list));
    }
    this.diffBox.replaceChildren(...parts);
  }

  // -- live refresh ----------------------------------------------------------

  schedule() {
    this.live.textContent = "live: refreshing every " + LIVE_EVERY / 1000 + " s";
    this.refreshButton.hidden = false;
    this.timer = setTimeout(() => this.refresh(), LIVE_EVERY);
  }

  // Who is watching a step finish need not wait for the next turn.
  refreshNow() {
    if (this.refreshing || this.disposed) return;
    clearTimeout(this.timer);
    this.refresh();
  }

  async refresh() {
    if (this.disposed) return;
    this.refreshing = true;
    try {
      const info = await this.source.info(this.key);
      if (info.generation !== this.generation) {
        let cursor = null, pages = 0, reload = false;
        do {
          const page = await this.source.changed(this.key, this.generation, cursor, 1000);
          // Where nodes went, others may have come in their place: reload what is open.
          if (page.removed === null || (page.removed && page.removed.length)) reload = true;
          for (const path of page.removed || []) this.tree.remove(path);
          for (const row of page.nodes) {
            if (row.path.length === 0) continue;
            await this.tree.update(row);
          }
          cursor = page.next;
        } while (cursor && ++pages < CHANGED_PAGES && !this.disposed);
        if (cursor || reload) await this.tree.reloadAll();
        this.generation = info.generation;
        this.info = info;
        this.tree.running = !info.finished;
        this.head.replaceChildren(header(info));
        const root = this.tree.root;
        root.row = {...root.row, ...this.runRow()};
        if (!this.problemsBox.checked) await this.tree.reload(this.tree.root);
      }
      if (info.finished) {
        this.live.textContent = "finished";
        this.refreshButton.hidden = true;
        return;
      }
    } catch (err) {
      this.live.textContent = "live: " + (err.message || err) + "; trying again";
    } finally {
      this.refreshing = false;
    }
    if (!this.disposed) this.schedule();
  }
}
