// Building page elements. Report data only ever becomes text nodes or
// attribute values: nothing here parses markup.

const SVG_NS = "http://www.w3.org/2000/svg";

function fill(el, attrs, children) {
  for (const [name, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (name === "class") el.setAttribute("class", value);
    else if (name.startsWith("on")) el.addEventListener(name.slice(2), value);
    else el.setAttribute(name, value === true ? "" : String(value));
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    el.append(child instanceof Node ? child : String(child));
  }
  return el;
}

// h("td", {class: "x"}, "text", otherNode): an element; strings become text.
export function h(tag, attrs, ...children) {
  return fill(document.createElement(tag), attrs, children);
}

export function svg(tag, attrs, ...children) {
  return fill(document.createElementNS(SVG_NS, tag), attrs, children);
}

export function clear(el) {
  el.replaceChildren();
  return el;
}

// Results from best to worst, with a symbol so that colour is never the only sign.
export const RESULTS = ["passed", "passx", "skipped", "failed", "blocked", "aborted", "errored"];
const SYMBOLS = {
  passed: "\u2714", passx: "\u2714", skipped: "\u2192", failed: "\u2718",
  blocked: "\u25a0", aborted: "\u25b2", errored: "\u203c",
};

export function resultOf(value) {
  if (value && typeof value === "object") value = value.value;
  return typeof value === "string" ? value.toLowerCase() : null;
}

export function isProblem(result) {
  return result !== null && result !== "passed" && result !== "passx";
}

// A result as class, symbol and word; no result yet reads "running" or "no result".
export function resultParts(value, running = false) {
  const result = resultOf(value);
  const known = result !== null && Object.hasOwn(SYMBOLS, result);
  return {cls: "result r-" + (known ? result : "none"), sym: known ? SYMBOLS[result] : "\u2026",
          word: result ?? (running ? "running" : "no result")};
}

export function resultBadge(value, running = false) {
  const parts = resultParts(value, running);
  return h("span", {class: parts.cls}, h("span", {class: "sym", "aria-hidden": "true"}, parts.sym), parts.word);
}

export function duration(seconds) {
  if (typeof seconds !== "number" || !isFinite(seconds)) return "";
  if (seconds < 1) return (seconds * 1000).toFixed(seconds < 0.01 ? 2 : 0) + " ms";
  if (seconds < 60) return seconds.toFixed(seconds < 10 ? 2 : 1) + " s";
  const s = Math.round(seconds);
  const hours = Math.floor(s / 3600), minutes = Math.floor(s / 60) % 60, rest = s % 60;
  if (hours) return hours + " h " + minutes + " min";
  return minutes + " min" + (rest ? " " + rest + " s" : "");
}

// A duration in one unit, for chart axes.
export function durationShort(seconds) {
  if (seconds === 0) return "0";
  if (seconds < 1) return Math.round(seconds * 1000) + " ms";
  if (seconds < 120) return Math.round(seconds) + " s";
  if (seconds < 7200) return Math.round(seconds / 60) + " min";
  return (seconds / 3600).toFixed(1).replace(/\.0$/, "") + " h";
}

// Times as the report wrote them ("2026-12-09 00:04:05.123785+00:00"): shown
// to the second, with their offset, so a reader sees the zone of the machine.
export function when(text) {
  if (typeof text !== "string") return "";
  const m = /^(\d{4}-\d\d-\d\d)[ T](\d\d:\d\d:\d\d)(?:\.\d+)?(.*)$/.exec(text);
  return m ? m[1] + " " + m[2] + (m[3] && m[3] !== "+00:00" ? " " + m[3] : m[3] ? " UTC" : "") : text;
}

export function utcSeconds(text) {
  if (typeof text !== "string" || !text) return null;
  const t = Date.parse(text.replace(" ", "T") + (/[zZ]|[+-]\d\d:?\d\d$/.test(text) ? "" : "Z"));
  return isNaN(t) ? null : t / 1000;
}

export function span(startUtc, stopUtc) {
  const a = utcSeconds(startUtc), b = utcSeconds(stopUtc);
  return a === null || b === null ? null : b - a;
}

// A path (ids of any JSON type) as readers see it: ids joined by "/".
export function pathText(path) {
  if (!path.length) return "the run";
  return path.map((id) => (typeof id === "string" ? id : JSON.stringify(id))).join(" / ");
}

// One string per path, ids keeping their JSON type (1 and "1" differ).
export function pathKey(path) {
  return JSON.stringify(path);
}

// The counters of a summary as a stacked bar and a legend in words.
export function countersBar(summary) {
  const box = h("span", {class: "counters"});
  if (!summary || typeof summary !== "object") return box;
  const total = RESULTS.reduce((n, r) => n + (Number(summary[r]) || 0), 0);
  const bar = h("span", {class: "bar", role: "img"});
  const words = [];
  for (const r of RESULTS) {
    const n = Number(summary[r]) || 0;
    if (!n) continue;
    const part = h("span", {class: "seg r-" + r, title: n + " " + r});
    part.style.setProperty("flex-grow", String(n));
    bar.append(part);
    words.push(n + " " + r);
  }
  bar.setAttribute("aria-label", words.join(", ") || "no results");
  if (!total) bar.classList.add("empty");
  box.append(bar, h("span", {class: "legend"}, words.join(" \u00b7 ") || "no results"));
  return box;
}

export function successRate(summary) {
  if (!summary || typeof summary !== "object") return null;
  const rate = Number(summary.success_rate);
  return isFinite(rate) ? rate : null;
}

// A message in place of what could not be shown; never a blank page.
export function failure(what, error) {
  return h("div", {class: "message", role: "alert"},
    h("strong", null, what), " ", error && error.message ? error.message : String(error));
}
