// The runs page: a table of runs with filters and paging, and for runs of
// one name their trend over time.

import {lineChart} from "./chart.js";
import {RESULTS, clear, countersBar, duration, durationShort, failure, h, resultBadge, span, successRate, utcSeconds, when}
  from "./dom.js";

const PAGE = 25;

function runLink(run) {
  return "#/run/" + run.key;
}

function runRow(run, setName) {
  const name = run.name ?? (typeof run.id === "string" ? run.id : JSON.stringify(run.id));
  const rate = successRate(run.summary);
  return h("tr", null,
    h("td", {class: "name"}, h("a", {href: runLink(run)}, name),
      run.name ? [" ", h("button", {type: "button", class: "link history", title: "Only the runs of this name, with their trend",
                                    onclick: () => setName(run.name)}, "history")] : null),
    h("td", {class: "start"}, when(run.start)),
    h("td", null, resultBadge(run.result, !run.finished)),
    h("td", null, countersBar(run.summary)),
    h("td", {class: "num"}, rate === null ? "" : rate.toFixed(1) + " %"),
    h("td", {class: "num"}, run.finished ? duration(span(run.start_utc, run.stop_utc)) : "running"));
}

export async function runsPage(main, source, params, go) {
  const name = params.get("name") || "";
  const result = params.get("result") || "";
  const cursor = params.get("cursor") || "";
  const nameInput = h("input", {type: "search", name: "name", value: name, placeholder: "any name",
                                "aria-label": "Run name"});
  const resultSelect = h("select", {name: "result", "aria-label": "Result"},
    h("option", {value: ""}, "any result"),
    RESULTS.map((r) => h("option", {value: r, selected: r === result}, r)));
  const apply = (extra = {}) => {
    const next = new URLSearchParams();
    const n = "name" in extra ? extra.name : nameInput.value.trim();
    const r = "result" in extra ? extra.result : resultSelect.value;
    if (n) next.set("name", n);
    if (r) next.set("result", r);
    if (extra.cursor) next.set("cursor", extra.cursor);
    go("#/?" + next.toString());
  };
  const form = h("form", {class: "filters", role: "search", onsubmit: (e) => { e.preventDefault(); apply(); }},
    h("label", null, "Name ", nameInput), " ",
    h("label", null, "Result ", resultSelect), " ",
    h("button", {type: "submit"}, "Filter"),
    name || result ? [" ", h("a", {href: "#/"}, "Clear filters")] : null);
  resultSelect.addEventListener("change", () => apply());
  const trend = h("section", {class: "trend", "aria-label": "Trend"});
  const table = h("section", {class: "runs"});
  main.replaceChildren(h("h1", null, name ? "Runs of " + name : "Runs"), form, trend, table);
  table.append(h("p", {class: "loading"}, "Loading\u2026"));
  let page;
  try {
    page = await source.runs({name: name || undefined, result: result || undefined,
                              cursor: cursor || undefined, limit: PAGE});
  } catch (err) {
    table.replaceChildren(failure("Could not load the runs:", err));
    return;
  }
  clear(table);
  if (!page.runs.length) {
    table.append(h("p", {class: "empty"}, name || result ? "No runs match these filters." :
      "The store holds no runs yet: import a results file with \u201cvexa store import FILE\u201d."));
  } else {
    table.append(h("table", {class: "grid"},
      h("thead", null, h("tr", null, ["Name", "Start", "Result", "Counters", "Success", "Duration"]
        .map((t) => h("th", {scope: "col"}, t)))),
      h("tbody", null, page.runs.map((run) => runRow(run, (n) => apply({name: n, result: ""}))))));
  }
  const nav = h("nav", {class: "pager", "aria-label": "Pages"});
  if (cursor) {
    const first = new URLSearchParams();
    if (name) first.set("name", name);
    if (result) first.set("result", result);
    nav.append(h("a", {href: "#/?" + first.toString()}, "\u2190 Newest"), " ");
  }
  if (page.next) nav.append(h("button", {type: "button", onclick: () => apply({cursor: page.next})}, "Older \u2192"));
  table.append(nav);
  if (name) await drawTrend(trend, source, name);
}

async function drawTrend(box, source, name) {
  let runs;
  try {
    runs = (await source.runs({name, limit: 200})).runs;
  } catch (err) {
    box.replaceChildren(failure("Could not load the trend:", err));
    return;
  }
  const done = runs.filter((r) => r.finished);
  const points = (value) => done.map((r) => ({t: utcSeconds(r.start_utc), v: value(r), label: r.start}));
  box.replaceChildren(
    lineChart("Success rate (%)", points((r) => successRate(r.summary)), {max: 100, kind: "rate",
      format: (v) => v.toFixed(0) + " %"}),
    lineChart("Duration", points((r) => span(r.start_utc, r.stop_utc)), {kind: "duration", format: duration, axis: durationShort}));
}
