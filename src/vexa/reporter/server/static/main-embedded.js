// The viewer of a one-file report: its data is in the page.
import {start} from "./app.js";
import {EmbeddedSource} from "./source-embedded.js";

start(new EmbeddedSource(document), document.getElementById("main"), {defaultRun: 1});
