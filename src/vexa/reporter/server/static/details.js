// The details of one node: its own fields, extras, details and log slice.

import {duration, failure, h, pathText, resultBadge, when} from "./dom.js";

const SHOWN = new Set(["type", "id", "fullid", "idlist", "name", "result", "starttime", "stoptime",
  "runtime", "description", "xref", "extra", "details", "health_result", "sections", "tasks",
  "logs", "logfile"]);

function value(v) {
  if (v === null || v === undefined) return "";
  if (typeof v === "string") return v;
  return JSON.stringify(v).replace(/,"/g, ', "').replace(/(?<!\\)":/g, '": ');
}

function resultText(result) {
  return result && typeof result === "object" ? result : {value: result};
}

function xref(x) {
  if (!x) return null;
  if (typeof x === "object" && !Array.isArray(x)) {
    return value(x.file ?? "") + (x.line !== undefined && x.line !== null ? ":" + value(x.line) : "");
  }
  return value(x);
}

function table(entries, caption) {
  return h("table", {class: "kv"}, h("caption", null, caption),
    h("tbody", null, entries.map(([k, v]) => h("tr", null, h("th", {scope: "row"}, k), h("td", null, value(v))))));
}

let latest = 0;

// Fills `panel` with the node's details; `link` is its permalink. Only the
// latest call draws: an answer arriving late for a node left behind is dropped.
export async function showDetails(panel, source, key, path, link, running) {
  const ticket = ++latest;
  const title = h("h2", null, pathText(path));
  panel.replaceChildren(title, h("p", {class: "loading"}, "Loading\u2026"));
  let node;
  try {
    node = await source.node(key, path);
  } catch (err) {
    if (ticket !== latest) return;
    panel.replaceChildren(title, failure("Could not load this node:", err));
    return;
  }
  if (ticket !== latest) return;
  const result = resultText(node.result);
  const rows = [
    ["Type", node.type],
    ["Result", h("span", null, resultBadge(result.value, running),
      result.reason ? " \u2014 " + value(result.reason) : "")],
    ["Start", when(node.starttime)],
    ["Stop", when(node.stoptime)],
    ["Runtime", duration(node.runtime)],
    ["Description", node.description],
    ["Xref", xref(node.xref)],
    ["Health", node.health_result ? value(node.health_result.value ?? node.health_result) : null],
  ].filter(([, v]) => v !== null && v !== undefined && v !== "");
  const body = [
    title,
    h("p", {class: "permalink"}, h("a", {href: link}, "Link to this node")),
    h("dl", {class: "fields"}, rows.map(([k, v]) => [h("dt", null, k), h("dd", null, v)])),
  ];
  const extra = node.extra && typeof node.extra === "object" ? Object.entries(node.extra) : [];
  if (extra.length) body.push(table(extra, "Extra"));
  if (Array.isArray(node.details) && node.details.length) {
    body.push(h("h3", null, "Details"), h("ul", {class: "details"}, node.details.map((d) => h("li", null, value(d)))));
  }
  const logBox = h("div", {class: "log"});
  const where = node.logs && typeof node.logs === "object" ? node.logs : null;
  if (source.can.logs && (where || typeof node.logfile === "string")) {
    const file = where ? where.file : node.logfile;
    body.push(h("h3", null, "Log ", h("span", {class: "file"}, value(file))), logBox);
    logBox.append(h("p", {class: "loading"}, "Loading\u2026"));
  }
  const other = Object.entries(node).filter(([k, v]) => !SHOWN.has(k) && v !== null && v !== undefined);
  if (other.length) body.push(table(other, "Other fields"));
  panel.replaceChildren(...body);
  if (logBox.isConnected) {
    try {
      const log = await source.log(key, path);
      if (ticket !== latest) return;
      logBox.replaceChildren(h("pre", null, log.text || "(empty)"));
    } catch (err) {
      logBox.replaceChildren(failure("No log slice:", err));
    }
  }
}
