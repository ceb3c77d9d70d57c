// The viewer of a one-file report: its data is in the page.
import {start} from "./app.js";
import {failure} from "./dom.js";
import {EmbeddedSource} from "./source-embedded.js";

const main = document.getElementById("main");
let source = null;
try {
  source = new EmbeddedSource(document);
} catch (err) {
  main.replaceChildren(failure("This file holds no readable report:", err));
}
if (source) start(source, main, {defaultRun: 1});
