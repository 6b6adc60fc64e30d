// valdrix-web's page. Plain script, no build step: one WebSocket carries the
// scope's binary frames (see frames.py for their layout) and JSON messages;
// the files view uses plain HTTP. uPlot draws every plot.
"use strict";

const $ = (id) => document.getElementById(id);
const COLORS = { 1: "#1f77b4", 2: "#d62728" };
const CLOCKS = [4000, 8000, 12000, 24000, 48000, 65000];

let ws = null;
let me = null;
let controller = null;
let settings = null;
let sampleRate = 48000;

// ---- messages and the banner ---------------------------------------------

function say(text) {
  const div = document.createElement("div");
  div.textContent = text;
  $("messages").appendChild(div);
  setTimeout(() => div.remove(), 8000);
}

function send(message) {
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(message));
  else say("not connected to valdrix-web");
}

// ---- tabs -------------------------------------------------------------------

for (const b of document.querySelectorAll(".tab")) {
  b.onclick = () => {
    for (const t of document.querySelectorAll(".tab")) t.classList.toggle("active", t === b);
    for (const v of document.querySelectorAll(".view")) v.hidden = v.id !== b.dataset.tab;
    if (b.dataset.tab === "files" && !filesLoaded) listDir(".");
    window.dispatchEvent(new Event("resize"));
  };
}

// ---- plots --------------------------------------------------------------------

function plotWidth(el) { return Math.max(300, el.clientWidth || document.body.clientWidth - 40); }

function makePlot(el, series, opts = {}) {
  el.innerHTML = "";
  const u = new uPlot(Object.assign({
    width: plotWidth(el), height: opts.height || 300,
    scales: { x: { time: false } },
    series: [{ label: opts.xlabel || "sample" }].concat(series),
    axes: [{ label: opts.xlabel || "sample" }, { label: opts.ylabel || "", size: 70 }],
    legend: { live: false },
  }, opts.uplot || {}), opts.data || [[]].concat(series.map(() => [])), el);
  const png = document.createElement("button");
  png.className = "png";
  png.textContent = "PNG";
  png.onclick = () => {
    const a = document.createElement("a");
    a.href = u.ctx.canvas.toDataURL("image/png");
    a.download = (el.id || "plot") + ".png";
    a.click();
  };
  el.appendChild(png);
  return u;
}

window.addEventListener("resize", () => {
  for (const [el, u] of [[$("scope-plot"), scopePlot], [$("mean-plot"), meanPlot], [$("t-plot"), tPlot],
                         [$("rank-plot"), rankPlot], [$("file-plot"), filePlot], [$("analysis-plot"), analysisPlot]]) {
    if (u && el.offsetParent) u.setSize({ width: plotWidth(el), height: u.height });
  }
});

// A frame (see frames.py): its header and, per channel, its x and y arrays.
function decodeFrame(buf) {
  const dv = new DataView(buf);
  const magic = String.fromCharCode(dv.getUint8(0), dv.getUint8(1), dv.getUint8(2), dv.getUint8(3));
  if (magic !== "VXW1") throw new Error("not a scope frame");
  const f = { kind: dv.getUint8(4), nch: dv.getUint8(5), flags: dv.getUint16(6, true), seq: dv.getUint32(8, true),
              total: dv.getUint32(12, true), x0: dv.getUint32(16, true), x1: dv.getUint32(20, true),
              n: dv.getUint32(24, true), channels: {} };
  const chans = [1, 2].filter((c) => f.flags & (c === 1 ? 2 : 4));
  const per = f.kind === 0 ? f.n : 2 * f.n;
  let x;
  if (f.kind === 0) {
    x = new Float64Array(f.n);
    for (let i = 0; i < f.n; i++) x[i] = f.x0 + i;
  } else {
    // Each column's minimum and maximum, drawn as a vertical stroke.
    x = new Float64Array(2 * f.n);
    const span = f.x1 - f.x0;
    for (let j = 0; j < f.n; j++) {
      const a = f.x0 + Math.floor(j * span / f.n), b = f.x0 + Math.floor((j + 1) * span / f.n);
      x[2 * j] = a; x[2 * j + 1] = (a + b) / 2;
    }
  }
  f.x = x;
  chans.forEach((c, k) => {
    const raw = new Int16Array(buf, 28 + k * per * 2, per);
    if (f.kind === 0) f.channels[c] = Float64Array.from(raw);
    else {
      const y = new Float64Array(2 * f.n);
      for (let j = 0; j < f.n; j++) { y[2 * j] = raw[j]; y[2 * j + 1] = raw[f.n + j]; }
      f.channels[c] = y;
    }
  });
  return f;
}

// ---- the scope ------------------------------------------------------------------

let scopePlot = null;
let scopeLayout = "";
let history = [];          // the last frames of the current view, newest last
let view = { x0: 0, x1: 0 };
let frameTimes = [];
let lastCapture = null;

function xScale() { return $("xunit").value === "us" ? 1000 / sampleRate : 1; }

function scopeSeries(persist, mean, envelope) {
  const s = [];
  for (const c of [1, 2]) {
    const name = c === 1 ? "A" : "B";
    for (let k = persist - 1; k >= 1; k--) s.push({ label: name + " -" + k, stroke: COLORS[c] + "40", width: 1 });
    s.push({ label: name, stroke: COLORS[c], width: 1 });
    if (mean) s.push({ label: name + " mean", stroke: c === 1 ? "#17becf" : "#ff7f0e", width: 1.5 });
    if (envelope) {
      s.push({ label: name + " min", stroke: COLORS[c] + "80", dash: [4, 4], width: 1 });
      s.push({ label: name + " max", stroke: COLORS[c] + "80", dash: [4, 4], width: 1 });
    }
  }
  s.push({ label: "trigger", stroke: "#2ca02c", dash: [8, 4], width: 1 });
  return s;
}

function wheelZoom(u) {
  u.over.addEventListener("wheel", (e) => {
    e.preventDefault();
    const k = xScale();
    const total = lastFrame ? lastFrame.total : 0;
    let a = view.x1 > view.x0 ? view.x0 : 0, b = view.x1 > view.x0 ? view.x1 : total;
    const at = u.posToVal(e.offsetX, "x") / k;
    const f = e.deltaY < 0 ? 0.75 : 1 / 0.75;
    a = Math.max(0, Math.round(at - (at - a) * f)); b = Math.min(total, Math.round(at + (b - at) * f));
    setView(a, b - a >= total ? 0 : a, b - a >= total ? 0 : b);
  }, { passive: false });
  // Shift-drag pans the range shown.
  let panFrom = null;
  u.over.addEventListener("mousedown", (e) => {
    if (!e.shiftKey) return;
    e.stopPropagation();
    panFrom = { x: e.clientX, a: view.x0, b: view.x1 || (lastFrame ? lastFrame.total : 0) };
  }, true);
  window.addEventListener("mousemove", (e) => {
    if (!panFrom) return;
    const perPx = (panFrom.b - panFrom.a) / u.bbox.width * devicePixelRatio;
    const total = lastFrame ? lastFrame.total : 0;
    let d = Math.round((panFrom.x - e.clientX) * perPx);
    d = Math.max(-panFrom.a, Math.min(total - panFrom.b, d));
    setView(0, panFrom.a + d, panFrom.b + d);
  });
  window.addEventListener("mouseup", () => { panFrom = null; });
}

function buildScope() {
  const persist = Math.max(1, Math.min(16, +$("persist").value || 1));
  const mean = (+$("meanof").value || 0) > 1;
  const envelope = $("envelope").checked;
  const layout = [persist, mean, envelope, $("xunit").value].join();
  if (layout === scopeLayout && scopePlot) return;
  scopeLayout = layout;
  if (scopePlot) scopePlot.destroy();
  scopePlot = makePlot($("scope-plot"), scopeSeries(persist, mean, envelope), {
    xlabel: $("xunit").value === "us" ? "µs" : "sample", ylabel: "sample value", height: 360,
    uplot: {
      cursor: { drag: { x: true, y: false, setScale: false } },
      hooks: {
        setSelect: [(u) => {
          if (u.select.width < 3) return;
          const k = xScale();
          const a = u.posToVal(u.select.left, "x") / k, b = u.posToVal(u.select.left + u.select.width, "x") / k;
          u.setSelect({ left: 0, width: 0, top: 0, height: 0 }, false);
          setView(0, Math.max(0, Math.floor(a)), Math.ceil(b));
        }],
      },
      plugins: [{ hooks: { init: [wheelZoom] } }],
    },
  });
  scopePlot.over.addEventListener("dblclick", () => setView(0, 0, 0));
  redraw();
}

function setView(_unused, x0, x1) {
  view = { x0, x1 };
  history = [];
  send({ type: "view", x0, x1, width: Math.round(plotWidth($("scope-plot")) * devicePixelRatio) });
}

let lastFrame = null;

function onFrame(buf) {
  const f = decodeFrame(buf);
  const now = performance.now();
  frameTimes.push(now);
  while (frameTimes.length && frameTimes[0] < now - 1000) frameTimes.shift();
  if (lastFrame && (lastFrame.x0 !== f.x0 || lastFrame.x1 !== f.x1 || lastFrame.kind !== f.kind || lastFrame.n !== f.n)) history = [];
  lastFrame = f;
  history.push(f);
  const keep = Math.max(+$("persist").value || 1, +$("meanof").value || 1, $("envelope").checked ? 64 : 1);
  while (history.length > keep) history.shift();
  // One draw per display refresh; "drawn" then tells the server the page has
  // caught up (a hidden tab never draws, so it is sent nothing more).
  if (!drawPending) {
    drawPending = true;
    requestAnimationFrame(() => { drawPending = false; redraw(); send({ type: "drawn" }); });
  }
}

let drawPending = false;

function redraw() {
  const f = lastFrame;
  if (!f || !scopePlot) return;
  const persist = Math.max(1, Math.min(16, +$("persist").value || 1));
  const meanN = +$("meanof").value || 0;
  const envelope = $("envelope").checked;
  const k = xScale();
  const x = Float64Array.from(f.x, (v) => v * k);
  const data = [x];
  const empty = new Array(x.length).fill(null);
  for (const c of [1, 2]) {
    for (let j = persist - 1; j >= 1; j--) {
      const old = history[history.length - 1 - j];
      data.push(old && old.channels[c] ? old.channels[c] : empty);
    }
    data.push(f.channels[c] || empty);
    const recent = history.filter((h) => h.channels[c]);
    if (meanN > 1 && recent.length) {
      const use = recent.slice(-meanN);
      const m = new Float64Array(x.length);
      for (const h of use) for (let i = 0; i < m.length; i++) m[i] += h.channels[c][i];
      for (let i = 0; i < m.length; i++) m[i] = m[i] / use.length;
      data.push(m);
    } else if (meanN > 1) data.push(empty);
    if (envelope) {
      const lo = new Float64Array(x.length).fill(Infinity), hi = new Float64Array(x.length).fill(-Infinity);
      for (const h of recent) for (let i = 0; i < lo.length; i++) {
        const v = h.channels[c][i];
        if (v < lo[i]) lo[i] = v;
        if (v > hi[i]) hi[i] = v;
      }
      data.push(recent.length ? lo : empty, recent.length ? hi : empty);
    }
  }
  const src = settings ? settings.trigger_source : 0;
  data.push(src === 1 || src === 2 ? new Float64Array(x.length).fill(settings.trigger_level) : empty);
  scopePlot.setData(data);
}

for (const id of ["persist", "meanof", "envelope", "xunit"]) $(id).onchange = () => { history = history.slice(-1); buildScope(); };
$("run").onclick = () => send({ type: "mode", mode: "run" });
$("stop").onclick = () => send({ type: "mode", mode: "stop" });
$("single").onclick = () => send({ type: "mode", mode: "single" });
$("zoom-reset").onclick = () => setView(0, 0, 0);
$("zoom-window").onclick = () => {
  if (!(view.x1 > view.x0) || !settings) return say("zoom into a range first");
  // The window starts later by the range's start and holds its length.
  send({ type: "settings", changes: { trigger_delay: settings.trigger_delay + view.x0,
                                      samples: Math.ceil((view.x1 - view.x0) / 1024) * 1024 } });
  setView(0, 0, 0);
};
$("copy-command").onclick = () => {
  const text = $("command").textContent;
  if (navigator.clipboard && window.isSecureContext) navigator.clipboard.writeText(text).then(() => say("copied"));
  else {
    const t = document.createElement("textarea");
    t.value = text; document.body.appendChild(t); t.select(); document.execCommand("copy"); t.remove();
    say("copied");
  }
};

setInterval(() => {
  const now = performance.now();
  while (frameTimes.length && frameTimes[0] < now - 1000) frameTimes.shift();
  $("rate").textContent = frameTimes.length + " updates/s";
}, 250);

// ---- settings form ------------------------------------------------------------------

for (const sel of document.querySelectorAll("select.clocks")) {
  for (const c of CLOCKS) sel.add(new Option(String(c), String(c)));
}

const BOOL = new Set(["power", "clock_on"]);
const TEXT = new Set(["tx", "bus"]);

function showSettings(s) {
  const form = $("settings");
  for (const el of form.elements) {
    if (!el.name || !(el.name in s) || el === document.activeElement) continue;
    if (el.type === "checkbox") el.checked = !!s[el.name];
    else el.value = String(s[el.name]);
  }
}

$("settings").addEventListener("change", (e) => {
  const el = e.target;
  if (!el.name) return;
  let value;
  if (BOOL.has(el.name)) value = el.checked;
  else if (TEXT.has(el.name)) value = el.value;
  else if (el.name === "timeout") value = el.value === "" ? el.value : Number(el.value);
  else value = /^-?\d+$/.test(el.value.trim()) ? parseInt(el.value, 10) : el.value;
  send({ type: "settings", changes: { [el.name]: value } });
});

function lockForms(locked) {
  for (const id of ["settings", "campaign-form"]) {
    const f = $(id);
    f.classList.toggle("locked", locked);
    for (const el of f.elements) el.disabled = locked;
  }
  for (const id of ["run", "stop", "single", "zoom-window"]) $(id).disabled = locked;
}

// ---- the campaign view --------------------------------------------------------------

let meanPlot = null, tPlot = null, rankPlot = null, rankKey = "";

function formValues(form) {
  const out = {};
  for (const el of form.elements) {
    if (!el.name) continue;
    if (el.type === "checkbox") out[el.name] = el.checked;
    else if (el.value.trim() !== "") out[el.name] = el.type === "number" ? Number(el.value) : el.value.trim();
  }
  return out;
}

$("campaign-start").onclick = () => {
  const v = formValues($("campaign-form"));
  const live = { stop_on_leak: v.stop_on_leak, budget: v.budget, key: v.key || null };
  if (v.cpa_window) {
    const [a, b] = v.cpa_window.split(":").map(Number);
    live.cpa_window = [a, b];
  }
  for (const k of ["stop_on_leak", "budget", "key", "cpa_window"]) delete v[k];
  if (v.batch && v.batch !== "auto") v.batch = Number(v.batch);
  send({ type: "campaign_start", options: v, live });
};
$("campaign-stop").onclick = () => send({ type: "campaign_stop" });

function seconds(s) {
  if (s === null || s === undefined) return "?";
  s = Math.round(s);
  return s >= 3600 ? Math.floor(s / 3600) + " h " + Math.floor(s % 3600 / 60) + " min"
       : s >= 60 ? Math.floor(s / 60) + " min " + (s % 60) + " s" : s + " s";
}

function onCampaign(c) {
  $("campaign-bar").max = c.total || 1;
  $("campaign-bar").value = c.done;
  let text = c.done + " / " + c.total + " traces, " + c.rate.toFixed(0) + " traces/s, " +
             (c.running ? seconds(c.left_s) + " left" : "ended") + (c.output ? ", file " + c.output : "");
  if (c.stop_reason) text += "; stopped: " + c.stop_reason;
  if (c.error) text += "; error: " + c.error;
  if (c.analysis_error) text += "; " + c.analysis_error;
  $("campaign-text").textContent = text;
  const verdict = $("campaign-verdict");
  if (c.tvla && c.t) {
    const confirmed = c.confirmed_count || 0;
    verdict.innerHTML = "";
    const span = document.createElement("span");
    span.className = confirmed ? "leak" : "ok";
    span.textContent = confirmed ? "LEAKAGE CONFIRMED by both halves at " + confirmed + " samples (" +
        c.confirmed.slice(0, 12).join(", ") + (confirmed > 12 ? ", ..." : "") + ")"
      : "no confirmed leakage";
    verdict.appendChild(span);
    verdict.appendChild(document.createTextNode("  max |t| = " + c.max_t.toFixed(2) + " over " + c.analysed +
        " traces (" + c.counts[0] + " fixed, " + c.counts[1] + " random)"));
  } else verdict.textContent = c.tvla ? "t-trace: waiting for 2 traces of each group" : "";
  const step = c.step || 1;
  const channels = Object.keys(c.mean || {});
  if (channels.length) {
    const n = c.mean[channels[0]].length;
    const x = Array.from({ length: n }, (_, i) => i * step);
    if (!meanPlot || meanPlot.series.length !== channels.length + 1)
      meanPlot = makePlot($("mean-plot"), channels.map((ch) => ({ label: "mean " + "AB"[ch - 1], stroke: COLORS[ch] })),
                          { ylabel: "sample value", height: 220 });
    meanPlot.setData([x].concat(channels.map((ch) => c.mean[ch])));
  }
  if (!c.t && tPlot) { tPlot.destroy(); tPlot = null; $("t-plot").innerHTML = ""; }
  if (!c.curve && rankPlot) { rankPlot.destroy(); rankPlot = null; rankKey = ""; $("rank-plot").innerHTML = ""; }
  if (c.t) {
    const n = c.t.length;
    const x = Array.from({ length: n }, (_, i) => i * step);
    if (!tPlot)
      tPlot = makePlot($("t-plot"), [
        { label: "t", stroke: "#222", width: 1 },
        { label: "t, half 1", stroke: "#1f77b480", width: 1 },
        { label: "t, half 2", stroke: "#ff7f0e80", width: 1 },
        { label: "+4.5", stroke: "#c0392b", dash: [6, 4] }, { label: "-4.5", stroke: "#c0392b", dash: [6, 4] },
      ], { ylabel: "t", height: 260 });
    const none = new Array(n).fill(null);
    const sets = c.t_sets || [none, none];
    tPlot.setData([x, c.t, sets[0], sets[1], new Array(n).fill(c.threshold), new Array(n).fill(-c.threshold)]);
  }
  if (c.curve && c.curve.length) {
    if (!rankPlot || rankKey !== c.key) {
      rankKey = c.key;
      const series = [];
      for (let b = 0; b < 16; b++) series.push({ label: "byte " + b, stroke: "hsl(" + (b * 22) + ",70%,45%)", width: 1 });
      rankPlot = makePlot($("rank-plot"), series, { xlabel: "traces", ylabel: "rank (0: found)", height: 260,
        uplot: { scales: { x: { time: false, distr: 3 } } } });
    }
    const x = c.curve.map((p) => p[0]);
    const data = [x];
    for (let b = 0; b < 16; b++) data.push(c.curve.map((p) => p[1][b]));
    rankPlot.setData(data);
  }
}

// ---- the files view ----------------------------------------------------------------

let filesLoaded = false, currentFile = null, fileInfo = null, filePlot = null, analysisPlot = null;
let overlays = [];

async function getJSON(url, opts) {
  const r = await fetch(url, opts);
  const body = await r.json().catch(() => ({ error: "HTTP " + r.status }));
  if (!r.ok) throw new Error(body.error || "HTTP " + r.status);
  return body;
}

async function listDir(path) {
  filesLoaded = true;
  try {
    const d = await getJSON("/api/files?path=" + encodeURIComponent(path));
    $("dir").textContent = d.path;
    const ul = $("file-list");
    ul.innerHTML = "";
    if (d.path !== ".") {
      const up = document.createElement("li");
      up.className = "dir"; up.textContent = "..";
      up.onclick = () => listDir(d.path + "/..");
      ul.appendChild(up);
    }
    for (const e of d.entries) {
      const li = document.createElement("li");
      li.className = e.kind; li.textContent = e.name;
      li.onclick = () => (e.kind === "dir" ? listDir(e.path) : openFile(e.path));
      ul.appendChild(li);
    }
  } catch (e) { say(e.message); }
}

async function openFile(path) {
  try {
    fileInfo = await getJSON("/api/file?path=" + encodeURIComponent(path));
    currentFile = path;
    $("file-info").textContent = path + ": " + fileInfo.traces + " traces of " + fileInfo.samples +
      " samples, channels " + fileInfo.channels.join(",") + (fileInfo.labelled ? ", labelled fixed/random" : "");
    overlays = [];
    $("trace-index").max = fileInfo.traces - 1;
    await showTrace(0, false);
  } catch (e) { say(e.message); }
}

async function showTrace(index, add) {
  if (!currentFile) return say("open a trace file first");
  const width = Math.round(plotWidth($("file-plot")) * devicePixelRatio);
  const r = await fetch("/api/trace?path=" + encodeURIComponent(currentFile) + "&index=" + index + "&width=" + width);
  if (!r.ok) return say((await r.json().catch(() => ({}))).error || "HTTP " + r.status);
  const f = decodeFrame(await r.arrayBuffer());
  $("trace-index").value = index;
  overlays = add ? overlays.filter((o) => o.seq !== f.seq).concat([f]) : [f];
  const series = [], data = [overlays[0].x];
  for (const o of overlays) for (const c of Object.keys(o.channels)) {
    series.push({ label: "#" + o.seq + " " + "AB"[c - 1], stroke: overlays.length > 1 ? "hsl(" + (o.seq * 47 % 360) + ",65%," + (c == 1 ? "75%)" : "40%)") : COLORS[c], width: 1 });
    data.push(o.channels[c].length === data[0].length ? o.channels[c] : new Array(data[0].length).fill(null));
  }
  if (filePlot) filePlot.destroy();
  filePlot = makePlot($("file-plot"), series, { ylabel: "sample value", height: 300, data });
}

$("trace-show").onclick = () => showTrace(+$("trace-index").value, false);
$("trace-add").onclick = () => showTrace(+$("trace-index").value, true);
$("trace-prev").onclick = () => showTrace(Math.max(0, +$("trace-index").value - 1), false);
$("trace-next").onclick = () => showTrace(Math.min((fileInfo ? fileInfo.traces : 1) - 1, +$("trace-index").value + 1), false);

function analysisBody() {
  const v = formValues($("analysis-form"));
  const body = { path: currentFile, kind: v.kind };
  for (const k of ["channel", "traces", "order", "byte"]) if (v[k] !== undefined) body[k] = v[k];
  if (v.window) body.window = v.window.split(":").map(Number);
  if (v.key) body.key = v.key;
  return body;
}

// A figure file drawn on the server by valdrix.plot, as a download.
async function saveFigure(format) {
  if (!currentFile) return say("open a trace file first");
  const body = analysisBody();
  const q = new URLSearchParams({ format });
  for (const [k, v] of Object.entries(body)) q.set(k, Array.isArray(v) ? v.join(":") : String(v));
  say("drawing the " + format.toUpperCase() + " figure ...");
  const r = await fetch("/api/figure?" + q);
  if (!r.ok) return say((await r.json().catch(() => ({}))).error || "HTTP " + r.status);
  const a = document.createElement("a");
  a.href = URL.createObjectURL(await r.blob());
  a.download = currentFile.split("/").pop().replace(/\.[^.]*$/, "") + "-" + body.kind + "." + format;
  a.click();
}
$("figure-pdf").onclick = () => saveFigure("pdf");
$("figure-svg").onclick = () => saveFigure("svg");

$("analysis-run").onclick = async () => {
  if (!currentFile) return say("open a trace file first");
  const body = analysisBody();
  $("analysis-text").textContent = "analysing ...";
  try {
    const r = await getJSON("/api/analyze", { method: "POST", headers: { "Content-Type": "application/json" },
                                              body: JSON.stringify(body) });
    $("analysis-text").textContent = r.text + (r.messages.length ? "\n" + r.messages.join("\n") : "");
    const link = $("svg-save");
    link.hidden = !r.svg;
    if (r.svg) link.href = URL.createObjectURL(new Blob([r.svg], { type: "image/svg+xml" }));
    const res = r.result || {};
    const series = res.t || res.snr;
    if (analysisPlot) { analysisPlot.destroy(); analysisPlot = null; }
    if (series) {
      const off = body.window ? body.window[0] : 0;
      const x = series.map((_, i) => i + off);
      const s = [{ label: res.t ? "t" : "SNR", stroke: "#222", width: 1 }];
      const data = [x, series];
      if (res.t) {
        s.push({ label: "+4.5", stroke: "#c0392b", dash: [6, 4] }, { label: "-4.5", stroke: "#c0392b", dash: [6, 4] });
        data.push(x.map(() => 4.5), x.map(() => -4.5));
      }
      analysisPlot = makePlot($("analysis-plot"), s, { ylabel: res.t ? "t" : "SNR", height: 260, data });
    }
  } catch (e) { $("analysis-text").textContent = ""; say(e.message); }
};

// ---- the connection -------------------------------------------------------------------

function onState(s) {
  me = s.you; controller = s.controller;
  settings = s.settings;
  sampleRate = s.settings.sample_rate;
  const state = s.state === "waiting for trigger" ? "waiting for trigger" : s.state;
  $("state").textContent = state + (s.error ? " (" + s.error + ")" : "");
  $("banner").hidden = !s.banner;
  $("banner").textContent = s.banner || "";
  const mine = controller === me;
  $("control").textContent = mine ? "you control the instrument" + (s.viewers > 1 ? " (" + s.viewers + " viewers)" : "")
                                   : "viewer " + controller + " controls; you watch";
  $("take-control").hidden = mine;
  lockForms(!mine);
  $("campaign-stop").disabled = !mine;
  showSettings(s.settings);
  $("command").textContent = s.command;
  buildScope();
}

function connect() {
  const proto = location.protocol === "https:" ? "wss://" : "ws://";
  ws = new WebSocket(proto + location.host + "/ws");
  ws.binaryType = "arraybuffer";
  ws.onopen = () => setView(0, view.x0, view.x1);
  ws.onmessage = (e) => {
    if (typeof e.data !== "string") return onFrame(e.data);
    const m = JSON.parse(e.data);
    if (m.type === "state") onState(m);
    else if (m.type === "capture") {
      lastCapture = m;
      $("capture-info").textContent = "capture " + m.seq + ": tx " + (m.tx || "-") + "  rx " + (m.rx || "-") +
        "  status 0x" + m.status.toString(16).toUpperCase();
    } else if (m.type === "campaign") onCampaign(m);
    else if (m.type === "error") say(m.message);
  };
  ws.onclose = () => {
    $("banner").hidden = false;
    $("banner").textContent = "connection to valdrix-web lost; reconnecting";
    setTimeout(connect, 1000);
  };
}

$("take-control").onclick = () => send({ type: "take_control" });
buildScope();
connect();
