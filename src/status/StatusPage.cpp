#include "status/StatusServer.h"

namespace
{

// One self-contained page: no outside stylesheet, font or script, so it works on a plant network
// without internet. The state it starts from is written into it; its script then asks /status
// every 2 seconds. Every text from the gateway goes in as text, never as markup.
const char kPage[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kavetta</title>
<style>
:root { --bg:#10151b; --panel:#1b232c; --text:#e8edf2; --dim:#98a6b5; --ok:#2fbf71; --warn:#f0b429; --bad:#ef4e4e; }
* { box-sizing: border-box; }
body { margin:0; background:var(--bg); color:var(--text);
  font: clamp(15px, 1.1vw + 0.6rem, 30px)/1.35 system-ui, "DejaVu Sans", sans-serif; }
header { display:flex; flex-wrap:wrap; align-items:center; gap:.4em 1em; padding:.7em 1em; background:var(--panel); }
h1 { margin:0; font-size:1.6em; }
#machine { color:var(--dim); }
#health { margin-left:auto; padding:.2em .7em; border-radius:.4em; font-weight:700; background:var(--dim); color:#000; }
#health.ok { background:var(--ok); } #health.warn { background:var(--warn); } #health.bad { background:var(--bad); }
main { padding:1em; display:grid; gap:1em; }
.tiles { display:grid; gap:.8em; grid-template-columns:repeat(auto-fit, minmax(11em, 1fr)); }
.tile { background:var(--panel); border-radius:.5em; padding:.6em .8em; border-left:.35em solid var(--dim); }
.tile.ok { border-color:var(--ok); } .tile.warn { border-color:var(--warn); } .tile.bad { border-color:var(--bad); }
.tile .k { color:var(--dim); font-size:.8em; text-transform:uppercase; letter-spacing:.05em; }
.tile .v { font-size:1.45em; font-weight:700; overflow-wrap:anywhere; }
.tile .s { color:var(--dim); font-size:.85em; overflow-wrap:anywhere; }
section { background:var(--panel); border-radius:.5em; padding:.6em .8em; }
section h2 { margin:0 0 .3em; font-size:.8em; color:var(--dim); text-transform:uppercase; letter-spacing:.05em; }
pre { margin:0; white-space:pre-wrap; overflow-wrap:anywhere; font:.85em/1.35 ui-monospace, "DejaVu Sans Mono", monospace; }
#log { max-height:24em; overflow:auto; }
#error:empty::before { content:"none yet"; color:var(--dim); }
#lastComm:empty::before { content:"none: every record reached the log file"; color:var(--dim); }
#why { margin:0; padding:.5em 1em; background:var(--panel); border-top:1px solid var(--bg); }
#why:empty { display:none; }
#why.bad { color:var(--bad); } #why.warn { color:var(--warn); }
.level { padding:0 .4em; border-radius:.3em; color:#000; background:var(--dim); text-transform:none; }
.level.error { background:var(--bad); } .level.information { background:var(--ok); }
footer { padding:0 1em 1em; color:var(--dim); font-size:.8em; }
body.stale main { opacity:.45; }
body.stale #updated { color:var(--bad); font-weight:700; }
</style>
</head>
<body>
<header><h1 id="module">Kavetta</h1><span id="machine"></span><span id="health">…</span></header>
<ul id="why"></ul>
<main>
<div class="tiles">
 <div class="tile" id="plcTile"><div class="k">PLC link</div><div class="v" id="plc">…</div><div class="s" id="plcTarget"></div></div>
 <div class="tile" id="peerTile"><div class="k" id="peerKind">Printer</div><div class="v" id="peer">…</div><div class="s" id="peerTarget"></div></div>
 <div class="tile" id="pendingTile"><div class="k">Requests waiting for the printer</div><div class="v" id="pending">…</div><div class="s" id="receive"></div></div>
 <div class="tile" id="countTile"><div class="k">Requests taken / answers given</div><div class="v" id="counts">…</div><div class="s" id="failures"></div></div>
</div>
<section><h2>Last request and answer</h2><pre id="times"></pre></section>
<section><h2>State line (as in the window)</h2><pre id="state"></pre></section>
<section><h2>Last status line <span class="level" id="level"></span></h2><pre id="error"></pre></section>
<section><h2>Communication log: last record that could not be written</h2><pre id="lastComm"></pre></section>
<section><h2>Communication log (newest first)</h2><pre id="log"></pre></section>
</main>
<footer><span id="updated"></span> · <span id="about"></span> · <a href="metrics" style="color:inherit">metrics</a> · <a href="status" style="color:inherit">status</a></footer>
<script>
"use strict";
const initial = /*STATUS*/null;
const $ = id => document.getElementById(id);
function set(id, text) { $(id).textContent = text == null ? "" : String(text); }
function tone(id, cls) { $(id).className = "tile " + cls; }
function sum(o) { return Object.values(o || {}).reduce((a, b) => a + b, 0); }
// The counters' reasons in words; a name the page does not know shows as it is.
const words = { request: "label, job or send data not made", send: "refused by the connection",
  timeout: "timed out", queue_full: "queue full", no_answer: "no answer",
  answer_not_written: "answer not written to the PLC", reset_on_error: "after a socket error",
  no_plc_side: "no PLC variables to take the answer", late_answer: "late answer",
  answer_too_large: "answer too large", answer_cut_short: "answer cut short", bad_frame: "unreadable frame",
  earlier_run: "left by an earlier run" };
function reasons(o) {
  return Object.entries(o || {}).filter(e => e[1] > 0).map(e => e[1] + "× " + (words[e[0]] || e[0])).join(", ");
}
function sentence(text) { return /[.?!]$/.test(text) ? text : text + "."; }
function uptime(s) {
  const d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  return (d ? d + "d " : "") + (d || h ? h + "h " : "") + m + "m " + (s % 60) + "s";
}
// Every date on the page comes from the gateway in the form of its status lines.
function when(text) { return text || "none yet"; }
let lastGood = null;
// The badge and the sentence under it: why the instance is not OK, in words.
function judge(st, plc, peer, c, peerNeeded) {
  const bad = [], warn = [];
  if (plc.used && !plc.up)
    bad.push(sentence("The PLC variables cannot be reached: " + (plc.problem || plc.state)) + " Requests of the PLC are not taken.");
  if (peerNeeded && !peer.connected)
    bad.push("The printer at " + peer.target + " is not connected (" + peer.socketStateText + ").");
  const failed = sum(c.failed), dropped = sum(c.dropped);
  if (failed) warn.push(failed + " request(s) failed since the start (" + reasons(c.failed) + ").");
  if (dropped) warn.push(dropped + " queued item(s) dropped unserved since the start (" + reasons(c.dropped) + "); each has a record in the communication log.");
  if (st.pending > 5) warn.push(st.pending + " requests are waiting for the printer.");
  if (st.logEnabled === false) warn.push("The communication log is off: its disk is short of space.");
  if (st.configurationOnDiskInUse === false) warn.push("The configuration file on disk was refused and is not in use: " + st.refusedReload);
  return { bad, warn };
}
function show(st) {
  lastGood = st.readAtText || "";
  document.body.classList.remove("stale");
  set("module", st.module || "(no module)");
  set("machine", st.machine);
  document.title = (st.module || "Kavetta") + " · Kavetta";
  const plc = st.plc || {}, peer = st.peer || {}, c = st.counters || {};
  // A link that is connected but cannot reach the variables is not "connected" to anyone who
  // needs them.
  set("plc", !plc.used ? "not used" : plc.up ? plc.state
           : plc.state === "connected" ? "variables not reachable" : plc.state);
  set("plcTarget", plc.used ? plc.kind + " " + plc.target : "server role: the PLC is not used");
  tone("plcTile", !plc.used ? "" : plc.up ? "ok" : "bad");
  set("peer", peer.socketStateText);
  set("peerTarget", peer.role === "server"
      ? "set up to listen on " + peer.target + "; the printer connects to it"
      : "set up to connect to " + peer.target + (peer.connection === "static"
          ? " and keep the connection open" : ", one connection per request"));
  const peerNeeded = peer.role === "client" && peer.connection === "static";
  tone("peerTile", peer.connected ? "ok" : peerNeeded ? "bad" : "");
  set("pending", st.pending);
  // A queue that is empty because its requests were dropped must not read as "nothing lost".
  const dropped = sum(c.dropped);
  set("receive", st.receiveQueue + " answer(s) waiting for the PLC" +
                 (dropped ? "; " + dropped + " queued item(s) dropped since the start (see the log)" : ""));
  tone("pendingTile", st.pending > 5 ? "warn" : "ok");
  set("counts", (c.taken || 0) + " / " + (c.answered || 0));
  const trouble = sum(c.failed) + sum(c.dropped);
  set("failures", trouble ? "failed: " + (reasons(c.failed) || "0") + "; dropped: " + (reasons(c.dropped) || "0")
                          : (c.sent || 0) + " sent, nothing failed or dropped");
  tone("countTile", trouble ? "warn" : "ok");
  set("times", "last request taken: " + when(st.lastRequestText) + "\nlast answer given: " + when(st.lastAnswerText));
  set("state", st.state);
  set("error", st.lastError);
  set("level", st.lastErrorLevel);
  $("level").className = "level " + (st.lastErrorLevel || "");
  set("lastComm", st.lastComm);
  set("log", (st.log || []).slice().reverse().join("\n"));
  const j = judge(st, plc, peer, c, peerNeeded);
  const health = j.bad.length ? "bad" : j.warn.length ? "warn" : "ok";
  $("health").className = health;
  set("health", { bad: "DOWN", warn: "CHECK", ok: "OK" }[health]);
  const why = $("why");
  why.className = health;
  why.replaceChildren(...j.bad.concat(j.warn).map(t => { const li = document.createElement("li"); li.textContent = t; return li; }));
  set("about", "Kavetta " + st.version + " · started " + when(st.startedAtText) + ", up " + uptime(st.uptimeSec || 0) + " · " + st.configuration);
  set("updated", "read " + lastGood);
}
async function refresh() {
  try {
    const r = await fetch("status", { cache: "no-store" });
    if (!r.ok) throw new Error(r.status);
    show(await r.json());
  } catch (e) {
    document.body.classList.add("stale");
    set("updated", "no answer from the gateway since " + (lastGood || "this page was opened"));
  }
}
if (initial) show(initial);
setInterval(refresh, 2000);
</script>
</body>
</html>
)html";

} // namespace

QByteArray StatusServer::page(const QByteArray &initialStatusJson)
{
    QByteArray html(kPage);
    // "</" inside the script would end it early: JSON allows "<\/" for it.
    QByteArray json = initialStatusJson;
    json.replace("</", "<\\/");
    html.replace("/*STATUS*/null", json);
    return html;
}
