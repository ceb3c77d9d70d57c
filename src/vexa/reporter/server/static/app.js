// The viewer's pages, chosen by the address's fragment:
//   #/?name=N&result=R&cursor=C          the runs
//   #/run/KEY?node=PATH&problems=1&q=T&cmp=KEY   one run, PATH a JSON array of ids
// Pages read their data only through `source` (see source-http.js).

import {failure, h} from "./dom.js";
import {runPage} from "./run.js";
import {runsPage} from "./runs.js";

export function start(source, main, {defaultRun = null} = {}) {
  let current = null;

  const go = (hash) => {
    if (location.hash === hash) route();
    else location.hash = hash;
  };

  async function route() {
    if (current && current.dispose) current.dispose();
    current = null;
    const hash = location.hash.replace(/^#/, "") || (defaultRun !== null ? "/run/" + defaultRun : "/");
    const q = hash.indexOf("?");
    const where = q < 0 ? hash : hash.slice(0, q);
    const params = new URLSearchParams(q < 0 ? "" : hash.slice(q + 1));
    // A source without a runs page has only its default run to show at "/".
    const home = (where === "/" || where === "") && !source.can.runs && defaultRun !== null;
    const run = home ? [where, String(defaultRun)] : /^\/run\/(\d+)\/?$/.exec(where);
    try {
      if (run) {
        current = await runPage(main, source, Number(run[1]), params, go);
      } else if ((where === "/" || where === "") && source.can.runs) {
        await runsPage(main, source, params, go);
      } else {
        main.replaceChildren(h("h1", null, "Not found"),
          h("p", null, "This address names no page of the viewer. ", h("a", {href: "#/"}, "All runs")));
      }
    } catch (err) {
      main.replaceChildren(failure("Something went wrong:", err));
    }
  }

  window.addEventListener("hashchange", route);
  return route();
}
