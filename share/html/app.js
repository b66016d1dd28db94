// The monitor page: options, status and data sizes of the running
// optimisation, its history as the server's long poll delivers it, and a plot
// of the objective against the iteration on a log axis.
//
// Everything the server sends is shown through textContent or SVG attributes,
// never parsed as HTML.
"use strict";

const $ = (id) => document.getElementById(id);
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Numbers arrive as JSON numbers or as texts; non-finite values are texts such
// as "NaN", "Inf", "nan", "-inf".
function toNumber(v) {
  if (typeof v === "number") return v;
  const s = String(v).trim().toLowerCase();
  const inf = /^([+-]?)inf(inity)?$/.exec(s);
  if (inf) return inf[1] === "-" ? -Infinity : Infinity;
  return s === "" || s === "nan" ? NaN : Number(s);
}

const show = (v) => (v === undefined || v === null ? "" : String(v));

// A bare inf or nan (as "{:.17g}" prints them) is not JSON; quote such tokens
// and try once more rather than lose the whole answer.
function parseJSON(text) {
  try {
    return JSON.parse(text);
  } catch (err) {
    const quoted = text.replace(/([[:,]\s*)(-?(?:inf(?:inity)?|nan))(?=\s*[,\]}])/gi, '$1"$2"');
    if (quoted === text) throw err;
    return JSON.parse(quoted);
  }
}

// The server's failures carry {"error": "reason"}.
function errorText(res, text) {
  try {
    const reason = JSON.parse(text).error;
    if (reason) return `${res.status} ${reason}`;
  } catch (_) { /* not JSON: fall back to the status line */ }
  return `${res.status} ${res.statusText}`.trim();
}

async function getJSON(path) {
  const res = await fetch(path, { cache: "no-store" });
  const text = await res.text();
  if (!res.ok) throw new Error(`${path}: ${errorText(res, text)}`);
  return parseJSON(text);
}

function addCell(tr, text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  tr.appendChild(td);
}

// One row per item, the given keys as columns; each row carries the item's
// name in data-name.
function fillTable(tableId, items, rowClass, keys) {
  const rows = (Array.isArray(items) ? items : []).map((item) => {
    const tr = document.createElement("tr");
    tr.className = rowClass;
    tr.dataset.name = show(item.name);
    for (const key of keys) addCell(tr, show(item[key]), key === "name" ? "" : "num");
    return tr;
  });
  $(tableId).tBodies[0].replaceChildren(...rows);
}

function reportPanelError(err) {
  $("panel-error").textContent = err ? err.message : "";
}

async function loadOptions() {
  const options = (await getJSON("/options")).map((o) => ({ ...o, restart: o.needsrestart ? "yes" : "" }));
  fillTable("options", options, "option-row", ["name", "value", "min", "max", "restart"]);
  $("option-names").replaceChildren(...options.map((o) => {
    const entry = document.createElement("option");
    entry.value = show(o.name);
    return entry;
  }));
}

const loadStatus = async () => fillTable("status", await getJSON("/status"), "status-row", ["name", "value"]);
const loadData = async () => fillTable("data", await getJSON("/data"), "data-row", ["name", "size"]);

// At most one status request in flight: new history may arrive faster.
let statusPending = false;
async function refreshStatus() {
  if (statusPending) return;
  statusPending = true;
  try { await loadStatus(); reportPanelError(null); } catch (err) { reportPanelError(err); }
  statusPending = false;
}

async function refreshPanels() {
  try {
    await Promise.all([loadOptions(), loadStatus(), loadData()]);
    reportPanelError(null);
  } catch (err) {
    reportPanelError(err);
  }
}

// --- Setting an option ----------------------------------------------------

// The server answers a successful set with a redirect to the page; we only
// want to know that it happened, so the redirect is not followed.
async function setOption(event) {
  event.preventDefault();
  const name = $("set-name").value.trim();
  const value = $("set-value").value.trim();
  const result = $("set-result");
  result.textContent = "setting...";
  let sent = false;
  try {
    const res = await fetch(`/option/${encodeURIComponent(name)}?value=${encodeURIComponent(value)}`,
                            { method: "PUT", redirect: "manual", cache: "no-store" });
    if (res.type !== "opaqueredirect" && !res.ok) {
      result.textContent = `not set: ${errorText(res, await res.text())}`;
      return;
    }
    sent = true;
    const now = await getJSON(`/option/${encodeURIComponent(name)}`);
    result.textContent = `${show(now.name)} = ${show(now.value)}`;
    await refreshPanels();
  } catch (err) {
    result.textContent = `${sent ? "set, but reading it back failed" : "not set"}: ${err.message}`;
  }
}

function pickOption(event) {
  const row = event.target.closest("tr.option-row");
  if (!row) return;
  $("set-name").value = row.dataset.name;
  $("set-value").value = row.cells[1].textContent;
  $("set-value").focus();
}

// --- Runs ------------------------------------------------------------------

// Every run this page has followed, and how each ended: its final record's
// "exit" text. The history below shows the present run only; a run that has
// ended stays listed here when the next one starts on the same port.
const runs = [];  // { key, row }, oldest first
let currentRun = null;

function runCell(run, name) {
  return run.row.querySelector(`td.${name}`);
}

// A run is known by its first record (the start record, which holds the
// start time): a history loaded again after a failure may be the same run.
function followRun(first) {
  const key = JSON.stringify(first);
  currentRun = runs.find((run) => run.key === key) || null;
  if (currentRun) return;
  const row = document.createElement("tr");
  row.className = "run-row";
  row.dataset.state = "running";
  addCell(row, String(runs.length + 1), "num");
  const t0 = first && typeof first === "object" ? toNumber(first.t0) : NaN;
  addCell(row, Number.isFinite(t0) ? new Date(t0 * 1000).toLocaleString() : "", "started");
  addCell(row, "", "num iterations");
  addCell(row, "running", "end");
  currentRun = { key, row };
  runs.push(currentRun);
  $("runs").tBodies[0].appendChild(row);
}

function noteRunRecord(rec) {
  if (!currentRun || !rec || typeof rec !== "object") return;
  if (Object.hasOwn(rec, "it")) runCell(currentRun, "iterations").textContent = show(rec.it);
  if (!Object.hasOwn(rec, "exit")) return;
  const row = currentRun.row;
  row.dataset.state = "ended";
  row.dataset.code = show(rec.code);
  runCell(currentRun, "end").textContent =
    `${show(rec.exit)} (code ${show(rec.code)}, status ${show(rec.status)})`;
  setConnection("ended", `run ended: ${show(rec.exit)}`);
}

const runEnded = () => currentRun !== null && currentRun.row.dataset.state === "ended";

// --- History ---------------------------------------------------------------

let historyCount = 0;
let heldRecords = 0;  // records the server has sent us: the index of the next one
let points = [];  // [iteration, objective] of every record that has both

function resetHistory() {
  historyCount = 0;
  heldRecords = 0;
  points = [];
  $("history").tBodies[0].replaceChildren();
}

function appendRecords(records) {
  if (Array.isArray(records) && records.length > 0) {
    if (heldRecords === 0) followRun(records[0]);
    heldRecords += records.length;
  }
  const scroller = $("history-scroll");
  const atBottom = scroller.scrollTop + scroller.clientHeight >= scroller.scrollHeight - 4;
  const rows = document.createDocumentFragment();
  for (const rec of Array.isArray(records) ? records : []) {
    if (!rec || typeof rec !== "object") continue;
    const tr = document.createElement("tr");
    tr.className = "history-row";
    tr.dataset.index = String(historyCount++);
    addCell(tr, tr.dataset.index, "num");
    addCell(tr, show(rec.it), "num");
    addCell(tr, show(rec.J), "num");
    const rest = Object.entries(rec).filter(([key]) => key !== "it" && key !== "J");
    addCell(tr, rest.map(([key, value]) => `${key}=${show(value)}`).join("  "), "rest");
    rows.appendChild(tr);
    if (Object.hasOwn(rec, "it") && Object.hasOwn(rec, "J")) points.push([toNumber(rec.it), toNumber(rec.J)]);
    noteRunRecord(rec);
  }
  $("history").tBodies[0].appendChild(rows);
  if (atBottom) scroller.scrollTop = scroller.scrollHeight;
  drawPlot();
}

function setConnection(state, text) {
  const conn = $("conn");
  conn.className = `conn ${state}`;
  conn.textContent = text;
}

// The whole history once, then one long poll after another, each for the
// records after the last one held: other pages and clients that follow the
// same run take nothing away from this one. A poll that ends with 408 simply
// had nothing new. The final record ends the run, and its monitor with it:
// the next run (on the same port) is then looked for every second, from its
// whole history (a refused connection is cheap, and a poll's position means
// nothing to another run). Any other failure (the server gone, restarted,
// or answering nonsense) backs off and starts over from the whole history,
// which is then the truth.
async function followHistory() {
  let backoff = 1000;
  for (;;) {
    try {
      if (!runEnded()) setConnection("loading", "loading history");
      const all = await getJSON("/history");
      resetHistory();
      appendRecords(all);
      backoff = 1000;
      if (runEnded()) {
        await sleep(1000);
        continue;
      }
      setConnection("live", "live");
      while (!runEnded()) {
        const started = Date.now();
        const res = await fetch(`/history/update?last=${heldRecords - 1}`, { cache: "no-store" });
        const text = await res.text();
        if (res.status === 408) {
          // Nothing new. A server that times polls out at once is not
          // hammered: such a poll is asked again after a pause.
          if (Date.now() - started < 1000) await sleep(1000);
          continue;
        }
        if (!res.ok) throw new Error(`history update: ${errorText(res, text)}`);
        appendRecords(parseJSON(text));
        refreshStatus();
      }
    } catch (err) {
      if (runEnded()) {
        await sleep(1000);
        continue;
      }
      setConnection("down", `${err.message}; retrying in ${backoff / 1000} s`);
      await sleep(backoff);
      backoff = Math.min(2 * backoff, 30000);
    }
  }
}

// --- Plot ------------------------------------------------------------------

const SVG_NS = "http://www.w3.org/2000/svg";
const PLOT = { width: 720, height: 300, left: 64, right: 16, top: 12, bottom: 34 };

function svgElement(parent, tag, attributes, text) {
  const el = document.createElementNS(SVG_NS, tag);
  for (const [name, value] of Object.entries(attributes)) el.setAttribute(name, String(value));
  if (text !== undefined) el.textContent = text;
  parent.appendChild(el);
  return el;
}

// A step of 1, 2 or 5 times a power of ten giving about `count` intervals.
function niceStep(span, count) {
  const raw = span / count;
  const magnitude = 10 ** Math.floor(Math.log10(raw));
  return [1, 2, 5, 10].map((f) => f * magnitude).find((step) => step >= raw);
}

// Smallest and largest of many values (spreading them into Math.min could
// overflow the call stack on a long run).
const range = (values) => values.reduce(([lo, hi], v) => [Math.min(lo, v), Math.max(hi, v)], [Infinity, -Infinity]);

const decadeLabel = (k) => (k >= 0 && k <= 4 ? String(10 ** k) : `1e${k}`);

// Only finite positive objectives have a place on a log axis. The others
// (NaN, infinite, zero or negative) break the line and are marked on the
// edge of the plot: +Inf at the top, everything else at the bottom.
function drawPlot() {
  const svg = $("plot");
  svg.replaceChildren();
  const { width, height, left, right, top, bottom } = PLOT;
  const xs = points.map((p) => p[0]).filter(Number.isFinite);
  const plottable = (y) => Number.isFinite(y) && y > 0;
  const ys = points.map((p) => p[1]).filter(plottable);
  const offAxis = points.filter(([x, y]) => Number.isFinite(x) && !plottable(y)).length;

  $("plot-note").textContent = offAxis
    ? `${offAxis} value(s) not on the log axis (NaN, Inf or not positive), marked on its edges`
    : "";
  svgElement(svg, "rect", { class: "frame", x: left, y: top, width: width - left - right, height: height - top - bottom });
  if (xs.length === 0) {
    svgElement(svg, "text", { class: "empty", x: width / 2, y: height / 2 }, "no iterations yet");
    return;
  }

  const [x0, xMax] = range(xs);
  const x1 = xMax > x0 ? xMax : x0 + 1;
  const [yMin, yMax] = ys.length ? range(ys) : [1, 10];
  const lo = Math.floor(Math.log10(yMin));
  const hi = Math.max(Math.ceil(Math.log10(yMax)), lo + 1);
  const px = (x) => left + ((x - x0) / (x1 - x0)) * (width - left - right);
  const py = (y) => top + ((hi - Math.log10(y)) / (hi - lo)) * (height - top - bottom);

  const decadeStep = Math.max(1, Math.ceil((hi - lo) / 8));
  for (let k = lo; k <= hi; k += decadeStep) {
    const y = py(10 ** k);
    svgElement(svg, "line", { class: "grid", x1: left, x2: width - right, y1: y, y2: y });
    svgElement(svg, "text", { class: "ylabel", x: left - 6, y: y + 4 }, decadeLabel(k));
  }
  const step = Math.max(1, niceStep(x1 - x0, 6));  // iterations are whole numbers
  for (let i = Math.ceil(x0 / step); i * step <= x1; i++) {
    const x = px(i * step);
    svgElement(svg, "line", { class: "grid", x1: x, x2: x, y1: top, y2: height - bottom });
    svgElement(svg, "text", { class: "xlabel", x, y: height - bottom + 16 }, String(+(i * step).toPrecision(12)));
  }
  svgElement(svg, "text", { class: "xlabel", x: (left + width - right) / 2, y: height - 2 }, "iteration");

  let path = "";
  let penDown = false;
  const marks = [];
  for (const [x, y] of points) {
    if (!Number.isFinite(x)) continue;
    if (plottable(y)) {
      path += `${penDown ? "L" : "M"}${px(x).toFixed(1)},${py(y).toFixed(1)}`;
      penDown = true;
      if (ys.length <= 200) marks.push({ class: "point", cx: px(x), cy: py(y), r: 2.5 });
    } else {
      penDown = false;
      marks.push({ class: "off-axis", cx: px(x), cy: y === Infinity ? top : height - bottom, r: 3.5 });
    }
  }
  svgElement(svg, "path", { id: "plot-line", d: path || "M0,0", "data-points": ys.length });
  for (const mark of marks) svgElement(svg, "circle", mark);
}

// --- Start -----------------------------------------------------------------

document.addEventListener("DOMContentLoaded", () => {
  $("set-form").addEventListener("submit", setOption);
  $("options").addEventListener("click", pickOption);
  drawPlot();
  refreshPanels();
  setInterval(refreshPanels, 10000);
  followHistory();
});
