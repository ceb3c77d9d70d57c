// The viewer served by the report server: its data comes over HTTP.
import {start} from "./app.js";
import {HttpSource} from "./source-http.js";

start(new HttpSource(), document.getElementById("main"));
