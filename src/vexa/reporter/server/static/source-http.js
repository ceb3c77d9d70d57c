// The report server's JSON API as the pages see it. Another source (data
// held in the page itself) can stand in for this one: the pages only call
// the methods below and read `can`. Every method returns a promise of what
// the endpoint of the same name answers, and fails with a RequestError
// whose message a person can read. `can` tells the pages what to offer:
//   runs     the runs page (runs())          compare  comparison (diff())
//   live     refreshing (changed())          logs     log slices (log())
// start(source, main, {defaultRun}) in app.js opens a run without a runs page.

export class RequestError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

function param(value) {
  // JSON.stringify escapes lone surrogates and NUL, so every id survives the trip.
  return encodeURIComponent(typeof value === "string" ? value : JSON.stringify(value));
}

export class HttpSource {
  constructor(base = new URL("api/v1/", document.baseURI)) {
    this.base = String(base);
    this.can = {runs: true, compare: true, live: true, logs: true};
  }

  async get(path, query = {}, as = "json") {
    const parts = [];
    for (const [name, value] of Object.entries(query)) {
      if (value !== undefined && value !== null && value !== "") parts.push(name + "=" + param(value));
    }
    const url = this.base + path + (parts.length ? "?" + parts.join("&") : "");
    let response;
    try {
      response = await fetch(url, {headers: {Accept: "application/json"}});
    } catch (err) {
      throw new RequestError("the report server cannot be reached", 0);
    }
    if (!response.ok) {
      let message = "the server answered " + response.status;
      try {
        const body = await response.json();
        if (body && typeof body.error === "string") message = body.error + " (" + response.status + ")";
      } catch (err) { /* not JSON: keep the status */ }
      throw new RequestError(message, response.status);
    }
    if (as === "text") return response;
    try {
      return await response.json();
    } catch (err) {
      throw new RequestError("the server's answer is not JSON", response.status);
    }
  }

  runs({name, result, finished, cursor, limit} = {}) {
    return this.get("runs", {name, result, finished, cursor, limit});
  }

  info(key) {
    return this.get("runs/" + key + "/info");
  }

  node(key, path) {
    return this.get("runs/" + key + "/node", {path});
  }

  children(key, path, cursor, limit) {
    return this.get("runs/" + key + "/children", {path, cursor, limit});
  }

  problems(key, cursor, limit) {
    return this.get("runs/" + key + "/problems", {cursor, limit});
  }

  search(key, q, cursor, limit) {
    return this.get("runs/" + key + "/search", {q, cursor, limit});
  }

  changed(key, since, cursor, limit) {
    return this.get("runs/" + key + "/changed", {since, cursor, limit});
  }

  async log(key, path) {
    const response = await this.get("runs/" + key + "/log", {path}, "text");
    return {text: await response.text(), file: response.headers.get("X-Log-File"),
            begin: response.headers.get("X-Log-Begin"), size: response.headers.get("X-Log-Size")};
  }

  diff(oldKey, newKey) {
    return this.get("diff", {old: oldKey, new: newKey});
  }
}
