// The explorer: neighbours, a map and analogies of a word, from the service's
// JSON endpoints. The state lives in the URL (?q=word&model=name) so that a
// link reproduces the view.
"use strict";

const $ = (id) => document.getElementById(id);
let models = [];
// The API key, when the server asks for one: kept for this tab only (never
// in the URL, which is shared).
let apiKey = sessionStorage.getItem("mave-api-key") || "";

class KeyNeeded extends Error {}

async function call(method, path, body) {
  const headers = body ? { "Content-Type": "application/json" } : {};
  if (apiKey) headers.Authorization = "Bearer " + apiKey;
  const response = await fetch(path, {
    method,
    headers,
    body: body ? JSON.stringify(body) : undefined,
  });
  const data = await response.json().catch(() => ({}));
  // mave's routes say what was wrong in detail, the OpenAI-shaped ones in error.message.
  const message = data.detail || (data.error && data.error.message) || response.statusText;
  if (response.status === 401) throw new KeyNeeded(message);
  if (!response.ok) throw Object.assign(new Error(message), { status: response.status });
  return data;
}

function askForKey(message) {
  $("key-form").hidden = false;
  $("status").textContent = message;
  $("api-key").focus();
}

const modelPath = () => "/v1/models/" + encodeURIComponent($("model").value);

function showModel() {
  const m = models.find((x) => x.id === $("model").value);
  $("model-info").textContent = m
    ? `${m.words.toLocaleString()} words, ${m.dims} dims, ${m.vocab_kind} vocabulary, ` +
      `${m.storage_kind} matrix${m.approximate ? ", approximate index" : ""}`
    : "";
}

function setUrl(word) {
  const params = new URLSearchParams({ q: word, model: $("model").value });
  history.replaceState(null, "", "/?" + params.toString());
}

async function complete() {
  const prefix = $("query").value;
  const list = $("completions");
  if (!prefix) { list.replaceChildren(); return; }
  try {
    const data = await call("GET", modelPath() + "/completions?" +
      new URLSearchParams({ prefix, limit: "10" }).toString());
    // Answers can arrive out of order: only the one for what the box holds now counts.
    if ($("query").value !== prefix) return;
    list.replaceChildren(...data.words.map((w) => Object.assign(document.createElement("option"), { value: w })));
  } catch (e) { /* completions are a convenience; the search reports errors */ }
}

function wordLink(word) {
  const a = document.createElement("a");
  a.href = "#";
  a.textContent = word;
  a.addEventListener("click", (event) => { event.preventDefault(); search(word); });
  return a;
}

function drawMap(points) {
  const svg = $("map");
  const ns = "http://www.w3.org/2000/svg";
  svg.replaceChildren();
  const xs = points.map((p) => p.x), ys = points.map((p) => p.y);
  const span = (v) => (Math.max(...v) - Math.min(...v)) || 1;
  const sx = 440 / span(xs), sy = 380 / span(ys);
  const minX = Math.min(...xs), minY = Math.min(...ys);
  points.forEach((p, i) => {
    const x = 40 + (p.x - minX) * sx, y = 30 + (p.y - minY) * sy;
    const dot = document.createElementNS(ns, "circle");
    Object.entries({ cx: x, cy: y, r: i === 0 ? 7 : 4.5, class: i === 0 ? "point centre" : "point" })
      .forEach(([k, v]) => dot.setAttribute(k, v));
    const title = document.createElementNS(ns, "title");
    title.textContent = `${p.word} (${p.cosine.toFixed(3)})`;
    dot.appendChild(title);
    const label = document.createElementNS(ns, "text");
    label.setAttribute("x", x + 8);
    label.setAttribute("y", y + 4);
    label.textContent = p.word;
    label.addEventListener("click", () => search(p.word));
    svg.append(dot, label);
  });
}

async function search(word) {
  word = word.trim();
  if (!word) return;
  $("query").value = word;
  $("status").textContent = "";
  setUrl(word);
  const k = Math.max(1, Math.min(100, Number($("k").value) || 10));
  try {
    const [similar, map] = await Promise.all([
      call("POST", modelPath() + "/similar", { query: word, k }),
      call("POST", modelPath() + "/map", { word, k }),
    ]);
    $("neighbours").tBodies[0].replaceChildren(...similar.results.map((r) => {
      const row = document.createElement("tr");
      const w = document.createElement("td");
      w.appendChild(wordLink(r.word));
      const c = Object.assign(document.createElement("td"), { className: "cosine", textContent: r.cosine.toFixed(4) });
      row.append(w, c);
      return row;
    }));
    drawMap(map.points);
  } catch (e) {
    if (e instanceof KeyNeeded) askForKey(e.message);
    else $("status").textContent = e.message;
    $("neighbours").tBodies[0].replaceChildren();
    $("map").replaceChildren();
  }
}

async function analogy(event) {
  event.preventDefault();
  const body = { a: $("analogy-a").value, b: $("analogy-b").value, c: $("analogy-c").value,
                 k: 5, method: $("analogy-method").value };
  const list = $("analogy-results");
  try {
    const data = await call("POST", modelPath() + "/analogy", body);
    list.replaceChildren(...data.results.map((r) => {
      const li = document.createElement("li");
      li.append(wordLink(r.word), ` ${r.cosine.toFixed(4)}`);
      return li;
    }));
  } catch (e) {
    if (e instanceof KeyNeeded) askForKey(e.message);
    list.replaceChildren(Object.assign(document.createElement("li"), { textContent: e.message }));
  }
}

async function loadModels() {
  for (;;) {
    try {
      models = (await call("GET", "/v1/models")).data;
      break;
    } catch (e) {
      if (e instanceof KeyNeeded) askForKey(e.message);
      else $("status").textContent = e.message;
      // 503: the server is still loading its models; it asks to come back.
      if (e.status !== 503) return false;
      await new Promise((resolve) => setTimeout(resolve, 1000));
    }
  }
  $("status").textContent = "";
  const params = new URLSearchParams(location.search);
  $("model").replaceChildren(...models.map((m) => Object.assign(document.createElement("option"),
    { value: m.id, textContent: m.id })));
  if (params.get("model") && models.some((m) => m.id === params.get("model"))) $("model").value = params.get("model");
  showModel();
  return true;
}

async function start() {
  $("model").addEventListener("change", () => { showModel(); search($("query").value); });
  $("query").addEventListener("input", complete);
  $("search").addEventListener("submit", (event) => { event.preventDefault(); search($("query").value); });
  $("analogy").addEventListener("submit", analogy);
  $("key-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    apiKey = $("api-key").value.trim();
    sessionStorage.setItem("mave-api-key", apiKey);
    $("status").textContent = "";
    if (await loadModels()) {
      $("key-form").hidden = true;
      if ($("query").value) search($("query").value);
    }
  });
  const params = new URLSearchParams(location.search);
  if (await loadModels() && params.get("q")) search(params.get("q"));
  else if (params.get("q")) $("query").value = params.get("q");
}

start();
