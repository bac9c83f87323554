// The pdulink page: a key kept for the browser session, the inbox and the
// outbox refreshed every few seconds (rows updated in place, so a selection
// or the scroll position stays) with older messages on request, a send form
// with a live count of characters and parts and its limit, a conversation
// per number with a reply box, a search over texts and numbers, the
// gateways' state. Every refusal is said in plain words. Only this server
// is asked.
"use strict";

const KEY_NAME = "pdulink-web-key";
const REFRESH_MS = 3000;

// GSM 7-bit default alphabet (TS 23.038), one septet each; the escape at
// 0x1B is not a character.
const GSM_BASIC = "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?" +
  "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà";
// The extension table: an escape septet and one more each.
const GSM_EXTENSION = "\f^{}\\[~]|€";

const PAGE = 50;

let limits = { max_parts: 1, ref16: false, shift_tables: [] };
const COUNT_DELAY_MS = 250;  // typing pauses this long before the server is asked
let inboxLastId = 0;    // newest inbox row shown
let inboxOldest = 0;    // oldest inbox row shown
let outboxOldest = 0;   // oldest outbox row shown
let outboxProbed = -1;  // the oldest row for which older rows were looked for
let conversation = null;  // the number whose conversation is open
let opener = null;        // what opened it, focused again on closing
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
  let basic = true;  // the default alphabet alone: no shift table does better
  for (const c of chars) {
    if (GSM_BASIC.includes(c)) widths.push(1);
    else if (GSM_EXTENSION.includes(c)) { widths.push(2); basic = false; }
    else { ucs2 = true; basic = false; break; }
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
  return { characters: chars.length, parts: parts, ucs2: ucs2, basic: basic };
}

// With the gateways' shift tables (ShiftTables=) a text with a character
// outside the default alphabet's basic table (an extension character such
// as "€" too) may go in fewer 7-bit parts; the server counts it as the send
// will, asked once typing pauses. Per text box: the text last asked about,
// the latest request (an older answer is dropped) and the answer with its
// text. The local count shows until the answer for this very text is in.
const served = { text: { asked: null, seq: 0, timer: null, answered: null, count: null },
  reply: { asked: null, seq: 0, timer: null, answered: null, count: null } };

function countOf(id) {
  const raw = document.getElementById(id).value;
  const local = countParts(raw, limits.ref16);
  if (local.basic || !(limits.shift_tables && limits.shift_tables.length)) return local;
  const s = served[id];
  if (s.answered === raw) return s.count;
  if (s.asked !== raw) {
    s.asked = raw;
    clearTimeout(s.timer);
    s.timer = setTimeout(() => askCount(id, raw), COUNT_DELAY_MS);
  }
  return local;
}

async function askCount(id, raw) {
  const s = served[id];
  const seq = ++s.seq;
  try {
    const r = await api("/count", {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ text: raw }),
    });
    if (seq !== s.seq) return;
    s.answered = raw;
    s.count = { characters: r.characters, parts: r.parts, ucs2: r.coding === "ucs2" };
    updateCount();
  } catch (e) {
    if (seq === s.seq) s.asked = null;  // asked again on the next change or refresh
  }
}

function key() { return sessionStorage.getItem(KEY_NAME) || ""; }

// A refusal or failure, with words for the person at the page.
class Failure extends Error {
  constructor(message, status, field) {
    super(message);
    this.status = status;
    this.field = field || "";
  }
}

// What a refusal means for the person who sent it. `request` is the body
// sent, so that a bad number can be named.
function plain(status, error, request) {
  const field = (error && error.field) || "";
  const message = (error && error.message) || "";
  const index = /^to\[(\d+)\]$/.exec(field);
  if (field === "to" || index) {
    const numbers = request && request.to ? [].concat(request.to) : [];
    const number = numbers[index ? Number(index[1]) : 0];
    if (!number) return "Enter a phone number to send to.";
    return "\u201C" + number + "\u201D is not a phone number. Write it with + and the country code, like +4915112345678.";
  }
  if (field === "text") {
    if (/missing|empty/.test(message)) return "Write a text to send.";
    return "The text is too long for the gateways (" + message + "). Shorten it and send again.";
  }
  if (field === "gateway") return "There is no gateway of that name. Choose another one, or any gateway.";
  if (status === 413) return "The message is too large to send.";
  if (status === 503) return "The message store is busy or cannot be reached. Please try again in a moment.";
  if (status === 401) return "This key was not accepted. It may have been revoked; ask for a new one.";
  return "The server refused this (" + (message || "error " + status) + ").";
}

async function api(path, options, request) {
  const opts = Object.assign({ headers: {} }, options || {});
  opts.headers = Object.assign({ Authorization: "Bearer " + key() }, opts.headers);
  let response;
  try {
    response = await fetch("/api/v1" + path, opts);
  } catch (e) {
    throw new Failure("The pdulink server does not answer.", 0);
  }
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  const error = body && body.error ? body.error : null;
  if (response.status === 401) {
    forget(plain(401, error, request));
    throw new Failure(plain(401, error, request), 401, "Authorization");
  }
  if (!response.ok) throw new Failure(plain(response.status, error, request), response.status, error && error.field);
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

function setStatus(text, bad) {
  const status = document.getElementById("status");
  status.textContent = text;
  status.classList.toggle("error", Boolean(bad));
}

// A sender in its international form: the received PDU's address type
// (TS 23.040 9.1.2.5, type of number 1) says whether its digits are.
function senderNumber(m) {
  const s = m.sender || "";
  if (!/^[0-9]+$/.test(s)) return s;
  const pdu = (m.pdus && m.pdus[0]) || "";
  if (!/^[0-9A-Fa-f]{8,}$/.test(pdu)) return s;
  const smscOctets = parseInt(pdu.substr(0, 2), 16);
  const type = parseInt(pdu.substr(2 + smscOctets * 2 + 4, 2), 16);
  return ((type >> 4) & 7) === 1 ? "+" + s : s;
}

function numberOf(kind, m) { return kind === "in" ? senderNumber(m) : (m.to || ""); }

// A button with a number: opens that number's conversation.
function numberButton(number) {
  const b = el("button", "number", number);
  b.type = "button";
  b.title = "Conversation with " + number;
  b.addEventListener("click", () => openConversation(number, b));
  return b;
}

// One message as a list item; kind "in" (received) or "out" (sent).
function messageItem(kind, m, withDirection) {
  const li = el("li", kind === "in" ? "in" : "out");
  const meta = el("div", "meta");
  if (withDirection) meta.append(el("span", "direction", kind === "in" ? "from" : "to"));
  meta.append(numberButton(numberOf(kind, m)));
  if (kind === "in") {
    meta.append(el("span", "", when(m.received)), el("span", "", m.gateway));
    if (m.parts > 1) meta.append(el("span", "", m.parts + " parts"));
  } else {
    meta.append(el("span", "state state-" + m.state, m.state), el("span", "", when(m.created)));
    if (m.claimed_by) meta.append(el("span", "", m.claimed_by));
    if (m.delivered) meta.append(el("span", "", "delivered " + when(m.delivered)));
    if (m.error) meta.append(el("span", "error", m.error));
  }
  li.append(meta, el("div", "body", m.text));
  return li;
}

// Puts a row into a list kept newest first, in place: an unchanged row is
// left alone (a selection in it or the list's scroll stays), a changed one
// replaced, a new one inserted where its id belongs.
function upsert(list, kind, m) {
  const sig = JSON.stringify([m.state, m.delivered, m.error, m.claimed_by, m.text]);
  const old = list.querySelector('li[data-id="' + m.id + '"]');
  if (old && old.dataset.sig === sig) return;
  const li = messageItem(kind, m, false);
  li.dataset.id = m.id;
  li.dataset.sig = sig;
  if (old) { old.replaceWith(li); return; }
  for (const other of list.children) {
    if (Number(other.dataset.id) < m.id) { list.insertBefore(li, other); return; }
  }
  list.append(li);
}

function renderInbox(rows) {
  const list = document.getElementById("inbox");
  for (const m of rows) {
    upsert(list, "in", m);
    inboxLastId = Math.max(inboxLastId, m.id);
    inboxOldest = inboxOldest ? Math.min(inboxOldest, m.id) : m.id;
  }
  document.getElementById("inbox-empty").hidden = list.children.length > 0;
}

function renderOutbox(rows) {
  const list = document.getElementById("outbox");
  for (const m of rows) {
    upsert(list, "out", m);
    outboxOldest = outboxOldest ? Math.min(outboxOldest, m.id) : m.id;
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

// Each webhook's receiver and how its deliveries go: taking them ("ok") or
// an event waiting for a retry, with the last answer or error.
function renderWebhooks(rows) {
  const list = document.getElementById("webhooks");
  list.replaceChildren();
  for (const w of rows) {
    const li = el("li");
    const meta = el("div", "meta");
    const state = w.state === "ok" ? "ok" : "retrying";
    meta.append(el("strong", "", "#" + w.id + " " + w.url), el("span", "state state-" + (state === "ok" ? "connected" : "disconnected"), state));
    meta.append(el("span", "", w.pending + " pending"), el("span", "", w.delivered + " delivered"));
    if (w.failed) meta.append(el("span", "", w.failed + " failed"));
    const last = w.last_attempt ? "last attempt " + when(w.last_attempt) + ": " +
      (w.last_error || "HTTP " + w.last_status) : "no attempt yet";
    li.append(meta, el("div", "meta", w.events.join(", ") + " · " + last));
    list.append(li);
  }
  document.getElementById("webhooks-empty").hidden = rows.length > 0;
}

async function refresh() {
  if (refreshing) return;
  refreshing = true;
  try {
    const inbox = await api(inboxLastId ? "/inbox?since_id=" + inboxLastId + "&limit=200" : "/inbox?newest=" + PAGE);
    renderInbox(inbox.messages);
    if (inbox.older !== undefined) document.getElementById("inbox-older").hidden = !inbox.older;
    const outbox = await api("/messages?newest=" + PAGE);
    renderOutbox(outbox.messages);
    // Older rows than those shown? Asked once for each oldest row shown.
    if (outbox.older && outboxProbed !== outboxOldest) {
      const probe = await api("/messages?newest=1&before_id=" + outboxOldest);
      outboxProbed = outboxOldest;
      document.getElementById("outbox-older").hidden = probe.messages.length === 0;
    }
    const gateways = await api("/gateways");
    if (gateways.send_limits) limits = gateways.send_limits;
    renderGateways(gateways.gateways);
    renderWebhooks((await api("/webhooks")).webhooks);
    updateCount();
    if (conversation) await loadConversation();
    setStatus("Updated " + new Date().toLocaleTimeString());
  } catch (e) {
    if (key()) {
      setStatus(e.status === 0 ? "The pdulink server does not answer; trying again every few seconds."
                               : "Not updated: " + e.message, true);
    }
  } finally {
    refreshing = false;
  }
}

async function older(kind) {
  const button = document.getElementById(kind + "-older");
  button.disabled = true;
  try {
    if (kind === "inbox") {
      const page = await api("/inbox?newest=" + PAGE + "&before_id=" + inboxOldest);
      renderInbox(page.messages);
      button.hidden = !page.older;
    } else {
      const page = await api("/messages?newest=" + PAGE + "&before_id=" + outboxOldest);
      renderOutbox(page.messages);
      outboxProbed = outboxOldest;
      button.hidden = !page.older;
    }
  } catch (e) {
    setStatus("Older messages not loaded: " + e.message, true);
  } finally {
    button.disabled = false;
  }
}

// The part limit, next to the count, and a visible reason when a text is
// too long (not only a disabled button).
function updateCount() {
  const c = countOf("text");
  const count = document.getElementById("count");
  count.textContent = c.characters + " chars, " + c.parts + (c.parts === 1 ? " part" : " parts") + (c.ucs2 ? " (UCS2)" : "");
  document.getElementById("count-limit").textContent =
    "(at most " + limits.max_parts + (limits.max_parts === 1 ? " part)" : " parts)");
  const over = c.parts > limits.max_parts;
  count.classList.toggle("over", over);
  const tooLong = document.getElementById("too-long");
  tooLong.hidden = !over;
  tooLong.textContent = over ? "Too long: this text needs " + c.parts + " parts, the gateways send at most " +
    limits.max_parts + ". Shorten it to send it." : "";
  document.getElementById("send").disabled = over;
  const reply = countOf("reply");
  document.getElementById("reply-count").textContent = reply.characters + " chars, " + reply.parts +
    (reply.parts === 1 ? " part" : " parts") + " (at most " + limits.max_parts + ")";
  document.getElementById("reply-send").disabled = reply.parts > limits.max_parts;
}

function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

// Sends one request's worth; a server that does not answer is tried again
// with the same idempotency key, so that a retry never sends twice.
async function post(body, result) {
  const idem = (crypto.randomUUID ? crypto.randomUUID() : String(Date.now()) + Math.random());
  for (let attempt = 1; ; attempt++) {
    try {
      return await api("/messages", {
        method: "POST",
        headers: { "Content-Type": "application/json", "Idempotency-Key": idem },
        body: JSON.stringify(body),
      }, body);
    } catch (e) {
      if (e.status !== 0 || attempt === 3) throw e;
      result.className = "";
      result.textContent = "The pdulink server does not answer; trying again\u2026";
      await sleep(2000);
    }
  }
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
  await submit(body, button, result, document.getElementById("text"));
}

// Posts a message from a form: the outcome under it, the text emptied once
// queued, the button usable again either way.
async function submit(body, button, result, text) {
  button.disabled = true;
  result.className = "";
  result.textContent = "";
  try {
    const r = await post(body, result);
    result.textContent = "Queued: " + r.ids.map((id) => "#" + id).join(", ");
    text.value = "";
    refresh();
  } catch (e) {
    result.className = "error";
    result.textContent = "Not sent: " + e.message;
  } finally {
    button.disabled = false;
    updateCount();
  }
}

// Received and sent messages in one list, oldest first.
function bothWays(inbox, outbox) {
  return inbox.messages.map((m) => ({ kind: "in", at: m.received, m: m }))
    .concat(outbox.messages.map((m) => ({ kind: "out", at: m.created, m: m })))
    .sort((a, b) => String(a.at).localeCompare(String(b.at)));
}

async function loadConversation() {
  const number = conversation;
  const q = "newest=100&number=" + encodeURIComponent(number);
  const [inbox, outbox] = await Promise.all([api("/inbox?" + q), api("/messages?" + q)]);
  if (number !== conversation) return;
  const rows = bothWays(inbox, outbox);
  const list = document.getElementById("thread");
  const atEnd = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
  const sig = JSON.stringify(rows.map((r) => [r.kind, r.m.id, r.m.state]));
  if (list.dataset.sig !== sig) {
    list.dataset.sig = sig;
    list.replaceChildren(...rows.map((r) => messageItem(r.kind, r.m, true)));
    if (atEnd) list.scrollTop = list.scrollHeight;  // newest last, in view
  }
  if (!rows.length) list.replaceChildren(el("li", "hint", "No messages with this number yet."));
}

async function openConversation(number, from) {
  conversation = number;
  opener = from || null;
  const section = document.getElementById("conversation");
  section.hidden = false;
  document.getElementById("conversation-title").textContent = "Conversation with " + number;
  const list = document.getElementById("thread");
  list.dataset.sig = "";
  list.replaceChildren();
  document.getElementById("reply-result").textContent = "";
  document.getElementById("conversation-title").focus();
  section.scrollIntoView({ block: "nearest" });
  try {
    await loadConversation();
    list.scrollTop = list.scrollHeight;
  } catch (e) {
    setStatus("Conversation not loaded: " + e.message, true);
  }
}

function closeConversation() {
  conversation = null;
  document.getElementById("conversation").hidden = true;
  if (opener && opener.isConnected) opener.focus();
  opener = null;
}

async function reply(event) {
  event.preventDefault();
  await submit({ to: [conversation], text: document.getElementById("reply").value },
    document.getElementById("reply-send"), document.getElementById("reply-result"), document.getElementById("reply"));
}

async function search(event) {
  event.preventDefault();
  const text = document.getElementById("search").value.trim();
  const list = document.getElementById("results");
  const none = document.getElementById("results-none");
  document.getElementById("search-clear").hidden = !text;
  if (!text) { list.replaceChildren(); none.hidden = true; return; }
  try {
    const q = "newest=" + PAGE + "&q=" + encodeURIComponent(text);
    const [inbox, outbox] = await Promise.all([api("/inbox?" + q), api("/messages?" + q)]);
    const rows = bothWays(inbox, outbox).reverse();
    list.replaceChildren(...rows.map((r) => messageItem(r.kind, r.m, true)));
    none.hidden = rows.length > 0;
  } catch (e) {
    list.replaceChildren();
    none.hidden = false;
    none.textContent = "Not searched: " + e.message;
  }
}

function clearSearch() {
  document.getElementById("search").value = "";
  document.getElementById("results").replaceChildren();
  document.getElementById("results-none").hidden = true;
  document.getElementById("search-clear").hidden = true;
  document.getElementById("search").focus();
}

function showApp(on) {
  document.getElementById("login").hidden = on;
  document.getElementById("app").hidden = !on;
  document.getElementById("forget").hidden = !on;
  if (timer) { clearInterval(timer); timer = null; }
  if (on) {
    inboxLastId = inboxOldest = outboxOldest = 0;
    outboxProbed = -1;
    document.getElementById("inbox").replaceChildren();
    document.getElementById("outbox").replaceChildren();
    refresh();
    timer = setInterval(refresh, REFRESH_MS);
  } else {
    closeConversation();
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
  const form = document.getElementById("send-form");
  form.addEventListener("submit", send);
  // A change to the form clears the last refusal: it was about the old one.
  for (const type of ["input", "change"]) {
    form.addEventListener(type, () => {
      const result = document.getElementById("send-result");
      if (result.className === "error") { result.textContent = ""; result.className = ""; }
    });
  }
  document.getElementById("text").addEventListener("input", updateCount);
  document.getElementById("reply").addEventListener("input", () => {
    document.getElementById("reply-result").textContent = "";
    updateCount();
  });
  document.getElementById("reply-form").addEventListener("submit", reply);
  document.getElementById("conversation-close").addEventListener("click", closeConversation);
  document.getElementById("conversation").addEventListener("keydown", (e) => {
    if (e.key === "Escape") closeConversation();
  });
  document.getElementById("search-form").addEventListener("submit", search);
  document.getElementById("search-clear").addEventListener("click", clearSearch);
  document.getElementById("inbox-older").addEventListener("click", () => older("inbox"));
  document.getElementById("outbox-older").addEventListener("click", () => older("outbox"));
  document.getElementById("forget").addEventListener("click", () => forget(""));
  updateCount();
  showApp(Boolean(key()));
});
