// q48reader-client: the Q48 reader for web pages, through q48-service on the
// counter's own computer. The same file is the service's /q48.js and the npm
// package q48reader-client, which an application serves from its own site:
//
//   import { readCard } from "/assets/q48reader-client/q48.js";
//   try {
//     const card = await readCard();
//     if (card.result === 0) photo.src = card.fields.portrait;
//   } catch (err) {
//     show(err.message);  // err.kind: "unreachable", "forbidden", "busy" or "invalid"
//   }
//
// Each call resolves to the service's answer, the object that `q48 --json`
// prints: { command, result, result_name, message, fields }. `result` is the
// reader's result code (0 success; read-card -6: no card on the reader). When
// there is no answer the promise rejects, within the timeout, with a Q48Error
// whose message says in Chinese and English what to do.
//
// A browser may first ask the user whether this site may reach the computer's
// own services (Firefox for any site, Chromium for https sites). The call then
// waits for the answer, and `events` tells the page so at once:
//
//   events.addEventListener("permissionpending", () => show('请在浏览器的提示中选择"允许"'));
//   events.addEventListener("permissionsettled", () => show(""));

const DEFAULT_SERVICE_URL = "http://127.0.0.1:18848/";
const DEFAULT_TIMEOUT_MS = 60000;  // a write takes up to 30 s; a read waits behind others
const PROBE_TIMEOUT_MS = 3000;     // a loopback service answers a probe at once
const PENDING_AFTER_MS = 1000;     // and its files at once, even while the reader works; a person takes longer

let serviceUrl = new URL(DEFAULT_SERVICE_URL);
let timeoutMs = DEFAULT_TIMEOUT_MS;

// "permissionpending": a call waits for the user to answer the browser's
// question whether this site may reach this computer; the page should say
// to choose "Allow". "permissionsettled": no call waits for it any more;
// event.detail.permission is "granted", "denied", or "prompt" (no answer
// within the call's timeout).
export const events = new EventTarget();

export class Q48Error extends Error {
  constructor(kind, zh, en, details = {}) {
    super(`${zh}\n${en}`);
    this.name = "Q48Error";
    this.kind = kind;
    this.zh = zh;
    this.en = en;
    Object.assign(this, details);
  }
}

// Where the service listens, "http://127.0.0.1:18848/" unless changed, and
// how long a call may wait for its answer (`timeout`, milliseconds).
export function setServiceUrl(url, { timeout } = {}) {
  const next = new URL(String(url));
  if (next.protocol !== "http:" && next.protocol !== "https:") throw new TypeError(`not an http URL: ${url}`);
  if (!next.pathname.endsWith("/")) next.pathname += "/";
  next.search = "";
  next.hash = "";
  if (timeout !== undefined) {
    if (!(Number.isFinite(timeout) && timeout > 0)) throw new TypeError(`timeout must be a positive number: ${timeout}`);
    timeoutMs = timeout;
  }
  serviceUrl = next;
}

// `promise`, or undefined when it has not settled within `ms`.
function within(promise, ms) {
  let timer;
  const late = new Promise((resolve) => { timer = setTimeout(resolve, ms); });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

const pageOrigin = () => globalThis.location?.origin ?? "";

// The state of the browser's permission for this page to reach loopback, where
// the browser tells it: "granted", "denied", "prompt"; undefined elsewhere.
// Chromium names it "loopback-network"; its first versions with the check, "local-network-access".
async function loopbackPermission() {
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      const status = await within(navigator.permissions.query({ name }), PROBE_TIMEOUT_MS);
      if (status) return status.state;
    } catch {
      // This browser does not know the name.
    }
  }
  return undefined;
}

// A cross-origin answer without CORS headers looks to the page like a
// network failure. A no-cors request still gets an (opaque) answer when the
// service is there; it fails when nothing listens or the browser blocks loopback.
async function serviceAnswers() {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), PROBE_TIMEOUT_MS);
  try {
    await fetch(new URL("favicon.svg", serviceUrl), { mode: "no-cors", cache: "no-store", signal: controller.signal });
    return true;
  } catch {
    return false;
  } finally {
    clearTimeout(timer);
  }
}

function forbidden(reason) {
  const origin = pageOrigin();
  return new Q48Error(
    "forbidden",
    `读卡服务拒绝了本网站（${origin}）：请管理员在 q48-service 中加上 --allow-origin ${origin}，然后刷新页面。`,
    `The card service refuses this site (${origin}): ask your administrator to start q48-service with ` +
      `--allow-origin ${origin}, then reload the page.`,
    { reason, origin },
  );
}

// `blocked`: whether the browser keeps this page from loopback; undefined when that cannot be told.
function unreachable(blocked, details) {
  if (blocked === true)
    return new Q48Error(
      "unreachable",
      "浏览器不允许本页访问本机的读卡服务：请在网站设置中允许访问本机设备，或请管理员用浏览器策略允许本网站，然后刷新页面。",
      "The browser does not let this page reach the card service on this computer: allow this site to reach " +
        "devices on this computer in its site settings, or ask your administrator to allow it by browser policy, " +
        "then reload the page.",
      details,
    );
  if (blocked === false)
    return new Q48Error(
      "unreachable",
      "本机的读卡服务 q48-service 没有运行：请启动它（或重新安装），然后重试。",
      "The card service q48-service is not running on this computer: start it (or install it again), then try again.",
      details,
    );
  return new Q48Error(
    "unreachable",
    "无法连接本机的读卡服务：q48-service 没有运行，或浏览器不允许本页访问本机。请确认它已启动；仍不行时，" +
      "请管理员用浏览器策略允许本网站访问本机。",
    "Cannot reach the card service on this computer: q48-service is not running, or the browser does not let " +
      "this page reach it. Make sure it is running; if that is not it, ask your administrator to allow this " +
      "site by browser policy.",
    details,
  );
}

// Why a request got no answer that the page may read.
async function noAnswer(cause) {
  passed = false;
  if (await serviceAnswers()) return forbidden(undefined);
  const permission = await loopbackPermission();
  // "prompt" is also what a page that needs no permission is told; the
  // service's own page is never kept from it.
  const blocked = permission === "denied" ? true
    : permission === "granted" || serviceUrl.origin === pageOrigin() ? false : undefined;
  return unreachable(blocked, { permission, cause });
}

function timedOut(seconds) {
  if (question)
    return new Q48Error(
      "unreachable",
      `浏览器的提示在 ${seconds} 秒内没有得到回答：请重试，并在浏览器的提示中选择"允许"。`,
      `The browser's prompt got no answer within ${seconds} s: try again, and choose "Allow" in the browser's prompt.`,
      { permission: "prompt" },
    );
  return new Q48Error(
    "unreachable",
    `读卡服务在 ${seconds} 秒内没有应答：请检查读卡器和 q48-service，然后重试。`,
    `The card service did not answer within ${seconds} s: check the reader and q48-service, then try again.`,
  );
}

// Whether the browser lets this page's requests reach the service is found
// once, before the first call: while the browser asks the user, the request
// waits, and a second one would make Firefox drop the first question. So one
// request at a time finds out, and only that one; the calls made meanwhile
// share it.
let passed = false;  // a request of this page reached the service since its last failure
let passing;         // the request that finds out, while it runs
let question = false;  // the browser is asking the user

function settleQuestion(permission) {
  if (!question) return;
  question = false;
  events.dispatchEvent(new CustomEvent("permissionsettled", { detail: { permission } }));
}

// Called by ask() and watch() before their request. Resolves once the page
// may send it: a request reached the service, or failed at once without a
// question (the call's own request then finds out why). Rejects with a
// Q48Error when the user refused or the question timed out. Blocks while the
// user is asked, at most for the timeout; the callers stop waiting at their own.
function passage() {
  if (passed || serviceUrl.origin === pageOrigin()) return Promise.resolve();
  passing ??= findPassage().finally(() => { passing = undefined; });
  return passing;
}

async function findPassage() {
  const controller = new AbortController();
  const giveUp = setTimeout(() => controller.abort(), timeoutMs);
  let settled = false;
  // A static file that has not come after a second: the browser holds the
  // request, if the page's permission is still to be asked (Firefox and
  // Chromium say "prompt" while they ask; "granted" here means a service that hangs).
  const pending = setTimeout(async () => {
    const permission = await loopbackPermission();
    if (settled || permission !== "prompt") return;
    question = true;
    events.dispatchEvent(new CustomEvent("permissionpending"));
  }, PENDING_AFTER_MS);
  try {
    await fetch(new URL("favicon.svg", serviceUrl), { mode: "no-cors", cache: "no-store", credentials: "omit",
                                                     signal: controller.signal });
    passed = true;
    settleQuestion("granted");
  } catch (error) {
    if (controller.signal.aborted) {
      settleQuestion("prompt");  // the browser withdraws its question with the request
    } else if (question) {
      settleQuestion("denied");
      throw unreachable(true, { permission: "denied", cause: error });
    }
  } finally {
    settled = true;
    clearTimeout(giveUp);
    clearTimeout(pending);
  }
}

// `promise`, or a rejection with the signal's reason when it aborts first.
function unlessAborted(promise, signal) {
  return new Promise((resolve, reject) => {
    signal.addEventListener("abort", () => reject(signal.reason), { once: true });
    promise.then(resolve, reject);
  });
}

function refused(status, answer, headers) {
  const reason = typeof answer?.error === "string" ? answer.error : `HTTP ${status}`;
  if (status === 403) return forbidden(reason);
  if (status === 503) {
    const retryAfter = Math.max(1, Number.parseInt(headers.get("Retry-After"), 10) || 1);
    return new Q48Error(
      "busy",
      `读卡器正忙：请 ${retryAfter} 秒后重试。`,
      `The reader is busy: try again in ${retryAfter} s.`,
      { retryAfter, reason },
    );
  }
  // 400, 413, 415, and any other refusal of the request as sent.
  return new Q48Error(
    "invalid",
    `读卡服务拒绝了这个请求：${reason}。请检查传入的参数。`,
    `The card service refused the request: ${reason}. Check the values passed.`,
    { reason, status },
  );
}

// The service drops a request still waiting for the reader when its page
// has given up: `timeout` tells it when, in milliseconds from sending.
const MAX_STATED_TIMEOUT_MS = 999999999;

async function ask(method, path, body) {
  const url = new URL(path, serviceUrl);
  if (timeoutMs <= MAX_STATED_TIMEOUT_MS) url.searchParams.set("timeout", String(Math.max(1, Math.floor(timeoutMs))));
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), timeoutMs);
  const init = { method, cache: "no-store", credentials: "omit", signal: controller.signal };
  if (method === "POST") {
    init.headers = { "Content-Type": "application/json" };
    init.body = JSON.stringify(body ?? {});
  }
  try {
    let response;
    try {
      await unlessAborted(passage(), controller.signal);
      response = await fetch(url, init);
    } catch (error) {
      if (error instanceof Q48Error) throw error;
      if (controller.signal.aborted) throw timedOut(Math.round(timeoutMs / 1000));
      throw await noAnswer(error);
    }
    let answer;
    try {
      answer = await response.json();
    } catch {
      if (controller.signal.aborted) throw timedOut(Math.round(timeoutMs / 1000));
      answer = undefined;  // not JSON: judged below
    }
    if (!response.ok) throw refused(response.status, answer, response.headers);
    if (typeof answer?.result !== "number") throw unreachable(false, { cause: new Error("not q48-service's answer") });
    return answer;
  } finally {
    clearTimeout(timer);
  }
}

// Is a reader attached? result 1: yes.
export const listReader = () => ask("GET", "v1/reader");
// The identity card: fields.name ... fields.portrait ("data:image/jpeg;base64,...", or "" when not converted).
export const readCard = () => ask("POST", "v1/card");
// The SIM card's ICCID: fields.iccid.
export const readIccid = () => ask("POST", "v1/iccid");
// The card type: result 0..255, also fields.card_type.
export const cardType = () => ask("POST", "v1/card-type");
// Writes "+86" + number, then content, to the SIM card (each 1 to 19 bytes in GBK).
export const writeSim = (number, content) => ask("POST", "v1/sim", { number: String(number), content: String(content) });

// Calls onCard(card) when a card is placed (or a different one), onRemoved()
// when it is taken away, onReader(present) when the reader comes or goes,
// and onError(error) (a Q48Error) when the service cannot be reached: once
// while the browser keeps retrying, and once when it has given up (the
// service refused this page, or the browser blocks it). The service reads
// the card only while someone watches. Returns a function that stops watching.
export function watch(onCard, onRemoved, onReader, onError) {
  const url = new URL("v1/events", serviceUrl);
  let source, reported = false, stopped = false;
  const start = () => {
    if (stopped) return;
    source = new EventSource(url);
    source.addEventListener("open", () => { reported = false; });
    source.addEventListener("card", (event) => onCard?.(JSON.parse(event.data)));
    source.addEventListener("removed", (event) => onRemoved?.(JSON.parse(event.data)));
    source.addEventListener("reader", (event) => onReader?.(JSON.parse(event.data).present));
    source.addEventListener("error", async () => {
      const closed = source.readyState === EventSource.CLOSED;
      if (reported && !closed) return;
      reported = true;
      const error = await noAnswer(undefined);
      if (!stopped && (closed || source.readyState !== EventSource.OPEN)) onError?.(error);
    });
  };
  passage().then(start, (error) => { if (!stopped) onError?.(error); });
  return () => {
    stopped = true;
    source?.close();
  };
}
