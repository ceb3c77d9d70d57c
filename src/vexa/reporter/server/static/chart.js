// Trend charts drawn as SVG: one value of each run over time.

import {h, svg, when} from "./dom.js";

const W = 560, H = 170, LEFT = 64, RIGHT = 12, TOP = 14, BOTTOM = 30;

function niceMax(v) {
  if (!(v > 0)) return 1;
  const p = Math.pow(10, Math.floor(Math.log10(v)));
  for (const m of [1, 2, 2.5, 5, 10]) if (m * p >= v) return m * p;
  return 10 * p;
}

// points: [{t: seconds, v: number, label: text}] in any order.
// `format` writes values in the dots' titles, `axis` on the axis.
export function lineChart(title, points, {format = String, axis = format, max = null, kind = ""} = {}) {
  points = points.filter((p) => p.t !== null && typeof p.v === "number" && isFinite(p.v))
    .sort((a, b) => a.t - b.t);
  const figure = h("figure", {class: "chart " + kind});
  figure.append(h("figcaption", null, title));
  if (!points.length) {
    figure.append(h("p", {class: "empty"}, "No runs with this value yet."));
    return figure;
  }
  const top = max ?? niceMax(Math.max(...points.map((p) => p.v)));
  const t0 = points[0].t, t1 = points[points.length - 1].t;
  const x = (t) => LEFT + (t1 > t0 ? (t - t0) / (t1 - t0) : 0.5) * (W - LEFT - RIGHT);
  const y = (v) => TOP + (1 - v / top) * (H - TOP - BOTTOM);
  const chart = svg("svg", {viewBox: `0 0 ${W} ${H}`, role: "img", "aria-label": title + ", " + points.length + " runs"});
  for (const f of [0, 0.5, 1]) {
    const v = top * f;
    chart.append(svg("line", {class: "grid", x1: LEFT, x2: W - RIGHT, y1: y(v), y2: y(v)}),
      svg("text", {class: "axis", x: LEFT - 6, y: y(v) + 4, "text-anchor": "end"}, axis(v)));
  }
  chart.append(svg("text", {class: "axis", x: LEFT, y: H - 8}, when(points[0].label)),
    svg("text", {class: "axis", x: W - RIGHT, y: H - 8, "text-anchor": "end"}, when(points[points.length - 1].label)));
  chart.append(svg("polyline", {class: "line", points: points.map((p) => x(p.t) + "," + y(p.v)).join(" ")}));
  for (const p of points) {
    chart.append(svg("circle", {class: "dot", cx: x(p.t), cy: y(p.v), r: 3.5},
      svg("title", null, when(p.label) + ": " + format(p.v))));
  }
  figure.append(chart);
  return figure;
}
