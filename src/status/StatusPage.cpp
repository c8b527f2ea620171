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
#error:empty::before, #lastComm:empty::before { content:"none"; color:var(--dim); }
footer { padding:0 1em 1em; color:var(--dim); font-size:.8em; }
body.stale main { opacity:.45; }
body.stale #updated { color:var(--bad); font-weight:700; }
</style>
</head>
<body>
<header><h1 id="module">Kavetta</h1><span id="machine"></span><span id="health">…</span></header>
<main>
<div class="tiles">
 <div class="tile" id="plcTile"><div class="k">PLC link</div><div class="v" id="plc">…</div><div class="s" id="plcTarget"></div></div>
 <div class="tile" id="peerTile"><div class="k">Peer</div><div class="v" id="peer">…</div><div class="s" id="peerTarget"></div></div>
 <div class="tile" id="pendingTile"><div class="k">Pending requests</div><div class="v" id="pending">…</div><div class="s" id="receive"></div></div>
 <div class="tile" id="countTile"><div class="k">Requests / answers</div><div class="v" id="counts">…</div><div class="s" id="failures"></div></div>
</div>
<section><h2>State</h2><pre id="state"></pre></section>
<section><h2>Last error</h2><pre id="error"></pre></section>
<section><h2>Last communication</h2><pre id="lastComm"></pre><pre id="times"></pre></section>
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
function reasons(o) { return Object.entries(o || {}).filter(e => e[1] > 0).map(e => e[0] + " " + e[1]).join(", "); }
function uptime(s) {
  const d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  return (d ? d + "d " : "") + (d || h ? h + "h " : "") + m + "m " + (s % 60) + "s";
}
function when(iso) { return iso ? new Date(iso).toLocaleString() : "never"; }
let lastGood = null;
function show(st) {
  lastGood = new Date();
  document.body.classList.remove("stale");
  set("module", st.module || "(no module)");
  set("machine", st.machine);
  document.title = (st.module || "Kavetta") + " · Kavetta";
  const plc = st.plc || {}, peer = st.peer || {}, c = st.counters || {};
  set("plc", plc.used ? plc.state : "not used");
  set("plcTarget", plc.used ? plc.kind + " " + plc.target : "server role");
  tone("plcTile", !plc.used ? "" : plc.up ? "ok" : "bad");
  set("peer", peer.socketStateText);
  set("peerTarget", peer.role + " · " + peer.target + " · " + peer.connection);
  const peerNeeded = peer.role === "client" && peer.connection === "static";
  tone("peerTile", peer.connected ? "ok" : peerNeeded ? "bad" : "");
  set("pending", st.pending);
  set("receive", st.receiveQueue + " answer(s) waiting for the PLC");
  tone("pendingTile", st.pending > 5 ? "warn" : "ok");
  set("counts", (c.taken || 0) + " / " + (c.answered || 0));
  const bad = sum(c.failed) + sum(c.dropped);
  set("failures", bad ? "failed: " + (reasons(c.failed) || "0") + "; dropped: " + (reasons(c.dropped) || "0")
                      : (c.sent || 0) + " sent, nothing failed or dropped");
  tone("countTile", bad ? "warn" : "ok");
  set("state", st.state);
  set("error", st.lastError);
  set("lastComm", st.lastComm);
  set("times", "last request " + when(st.lastRequest) + " · last answer " + when(st.lastAnswer));
  set("log", (st.log || []).slice().reverse().join("\n"));
  let health = "ok", label = "OK";
  if ((plc.used && !plc.up) || (peerNeeded && !peer.connected)) { health = "bad"; label = "DOWN"; }
  else if (bad || st.pending > 5 || st.logEnabled === false) { health = "warn"; label = "CHECK"; }
  $("health").className = health;
  set("health", label);
  set("about", "Kavetta " + st.version + " · up " + uptime(st.uptimeSec || 0) + " · " + st.configuration);
  set("updated", "updated " + lastGood.toLocaleTimeString());
}
async function refresh() {
  try {
    const r = await fetch("status", { cache: "no-store" });
    if (!r.ok) throw new Error(r.status);
    show(await r.json());
  } catch (e) {
    document.body.classList.add("stale");
    set("updated", "no answer from the gateway since " + (lastGood ? lastGood.toLocaleTimeString() : "the start"));
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
