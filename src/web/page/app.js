// The pdulink page: a key kept for the browser session, the inbox and the
// outbox refreshed every few seconds, a send form with a live count of
// characters and parts, the gateways' state. Only this server is asked.
"use strict";

const KEY_NAME = "pdulink-web-key";
const REFRESH_MS = 3000;

// GSM 7-bit default alphabet (TS 23.038), one septet each; the escape at
// 0x1B is not a character.
const GSM_BASIC = "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?" +
  "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà";
// The extension table: an escape septet and one more each.
const GSM_EXTENSION = "\f^{}\\[~]|€";

let limits = { max_parts: 1, ref16: false };
let inboxLastId = 0;
let timer = null;
let refreshing = false;  // one refresh at a time: two would add the same inbox rows twice

// Septets, parts and coding of a text as the gateway counts them: blanks
// and control characters at the ends dropped and each run inside made one
// blank; 7-bit when the alphabet holds every character (160 in one
// message, 153 a part), otherwise UCS2 (70, 67 a part); an escape pair or a
// surrogate pair never split across parts.
function countParts(raw, ref16) {
  const text = raw.replace(/^[\u0000-\u0020]+|[\u0000-\u0020]+$/g, "").replace(/[\u0000-\u0020]+/g, " ");
  const chars = Array.from(text);
  let widths = [];
  let ucs2 = false;
  for (const c of chars) {
    if (GSM_BASIC.includes(c)) widths.push(1);
    else if (GSM_EXTENSION.includes(c)) widths.push(2);
    else { ucs2 = true; break; }
  }
  if (ucs2) widths = chars.map((c) => c.length);  // UTF-16 units
  const total = widths.reduce((a, b) => a + b, 0);
  const single = ucs2 ? 70 : 160;
  const perPart = (ucs2 ? 67 : 153) - (ref16 ? 1 : 0);
  let parts = 1;
  if (total > single) {
    let used = 0;
    for (const w of widths) {
      if (used + w > perPart) { parts++; used = 0; }
      used += w;
    }
  }
  return { characters: chars.length, parts: parts, ucs2: ucs2 };
}

function key() { return sessionStorage.getItem(KEY_NAME) || ""; }

async function api(path, options) {
  const opts = Object.assign({ headers: {} }, options || {});
  opts.headers = Object.assign({ Authorization: "Bearer " + key() }, opts.headers);
  const response = await fetch("/api/v1" + path, opts);
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  if (response.status === 401) { forget("The key was refused."); throw new Error("unauthorised"); }
  if (!response.ok) {
    const err = body && body.error ? body.error : { message: response.statusText };
    throw new Error((err.field ? err.field + ": " : "") + err.message);
  }
  return body;
}

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function when(iso) {
  if (!iso) return "";
  const d = new Date(iso);
  return isNaN(d) ? iso : d.toLocaleString();
}

function setStatus(text) { document.getElementById("status").textContent = text; }

function renderInbox(rows) {
  const list = document.getElementById("inbox");
  for (const m of rows) {
    const li = el("li");
    li.dataset.id = m.id;
    const meta = el("div", "meta");
    meta.append(el("strong", "sender", m.sender), el("span", "", when(m.received)), el("span", "", m.gateway));
    if (m.parts > 1) meta.append(el("span", "", m.parts + " parts"));
    li.append(meta, el("div", "body", m.text));
    list.prepend(li);  // newest first
    inboxLastId = Math.max(inboxLastId, m.id);
  }
  while (list.children.length > 200) list.lastChild.remove();
  document.getElementById("inbox-empty").hidden = list.children.length > 0;
}

function renderOutbox(rows) {
  const list = document.getElementById("outbox");
  list.replaceChildren();
  for (const m of rows.slice().reverse()) {
    const li = el("li");
    li.dataset.id = m.id;
    const meta = el("div", "meta");
    meta.append(el("strong", "", m.to), el("span", "state state-" + m.state, m.state), el("span", "", when(m.created)));
    if (m.claimed_by) meta.append(el("span", "", m.claimed_by));
    if (m.delivered) meta.append(el("span", "", "delivered " + when(m.delivered)));
    if (m.error) meta.append(el("span", "error", m.error));
    li.append(meta, el("div", "body", m.text));
    list.append(li);
  }
  document.getElementById("outbox-empty").hidden = list.children.length > 0;
}

function renderGateways(rows) {
  const list = document.getElementById("gateways");
  list.replaceChildren();
  const select = document.getElementById("gateway");
  const chosen = select.value;
  select.replaceChildren(new Option("Any gateway", ""));
  for (const g of rows) {
    const li = el("li");
    const meta = el("div", "meta");
    meta.append(el("strong", "", g.name), el("span", "state state-" + (g.connection || "unknown"), g.connection || "?"));
    if (g.signal !== null) meta.append(el("span", "", "signal " + g.signal));
    if (g.battery !== null) meta.append(el("span", "", "battery " + g.battery + "%"));
    if (g.queue !== null) meta.append(el("span", "", "queue " + g.queue));
    const details = [g.host, g.sim && "SIM " + g.sim, g.network && "network " + g.network,
      g.last_seen && "seen " + when(g.last_seen)].filter(Boolean).join(" · ");
    li.append(meta, el("div", "meta", details));
    list.append(li);
    select.append(new Option(g.name, g.name));
  }
  select.value = chosen;
  document.getElementById("gateways-empty").hidden = rows.length > 0;
}

async function refresh() {
  if (refreshing) return;
  refreshing = true;
  try {
    const inbox = await api(inboxLastId ? "/inbox?since_id=" + inboxLastId + "&limit=200" : "/inbox?newest=50");
    renderInbox(inbox.messages);
    renderOutbox((await api("/messages?newest=50")).messages);
    const gateways = await api("/gateways");
    if (gateways.send_limits) limits = gateways.send_limits;
    renderGateways(gateways.gateways);
    updateCount();
    setStatus("Updated " + new Date().toLocaleTimeString());
  } catch (e) {
    if (key()) setStatus("Not updated: " + e.message);
  } finally {
    refreshing = false;
  }
}

function updateCount() {
  const c = countParts(document.getElementById("text").value, limits.ref16);
  const count = document.getElementById("count");
  count.textContent = c.characters + " chars, " + c.parts + (c.parts === 1 ? " part" : " parts") + (c.ucs2 ? " (UCS2)" : "");
  const over = c.parts > limits.max_parts;
  count.classList.toggle("over", over);
  count.title = over ? "At most " + limits.max_parts + (limits.max_parts === 1 ? " part" : " parts") : "";
  document.getElementById("send").disabled = over;
}

async function send(event) {
  event.preventDefault();
  const result = document.getElementById("send-result");
  const to = document.getElementById("to").value.split(/[,;\n]/).map((s) => s.trim()).filter(Boolean);
  const body = { to: to, text: document.getElementById("text").value };
  if (document.getElementById("flash").checked) body.flash = true;
  if (document.getElementById("report").checked) body.report = true;
  const gateway = document.getElementById("gateway").value;
  if (gateway) body.gateway = gateway;
  const button = document.getElementById("send");
  button.disabled = true;
  result.className = "";
  try {
    // One key per submission: a retry by the browser creates nothing new.
    const idem = (crypto.randomUUID ? crypto.randomUUID() : String(Date.now()) + Math.random());
    const r = await api("/messages", {
      method: "POST",
      headers: { "Content-Type": "application/json", "Idempotency-Key": idem },
      body: JSON.stringify(body),
    });
    result.textContent = "Queued: " + r.ids.map((id) => "#" + id).join(", ");
    document.getElementById("text").value = "";
    updateCount();
    refresh();
  } catch (e) {
    result.className = "error";
    result.textContent = "Not sent: " + e.message;
  } finally {
    button.disabled = false;
    updateCount();
  }
}

function showApp(on) {
  document.getElementById("login").hidden = on;
  document.getElementById("app").hidden = !on;
  document.getElementById("forget").hidden = !on;
  if (timer) { clearInterval(timer); timer = null; }
  if (on) {
    inboxLastId = 0;
    document.getElementById("inbox").replaceChildren();
    refresh();
    timer = setInterval(refresh, REFRESH_MS);
  }
}

function forget(message) {
  sessionStorage.removeItem(KEY_NAME);
  document.getElementById("key-error").textContent = message || "";
  setStatus("");
  showApp(false);
}

async function useKey(event) {
  event.preventDefault();
  const input = document.getElementById("key");
  sessionStorage.setItem(KEY_NAME, input.value.trim());
  input.value = "";
  try {
    await api("/gateways");
    document.getElementById("key-error").textContent = "";
    showApp(true);
  } catch (e) {
    if (key()) document.getElementById("key-error").textContent = e.message;
  }
}

document.addEventListener("DOMContentLoaded", () => {
  document.getElementById("key-form").addEventListener("submit", useKey);
  document.getElementById("send-form").addEventListener("submit", send);
  document.getElementById("text").addEventListener("input", updateCount);
  document.getElementById("forget").addEventListener("click", () => forget(""));
  updateCount();
  showApp(Boolean(key()));
});
