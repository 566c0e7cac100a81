// q48.js: the Q48 reader for web pages, through q48-service.
//
//   import { readCard, watch } from "http://127.0.0.1:18848/q48.js";
//   const card = await readCard();
//   if (card.result === 0) photo.src = card.fields.portrait;
//
// Each call resolves to the service's answer, the object that `q48 --json`
// prints: { command, result, result_name, message, fields }. `result` is the
// reader's result code (0 success; read-card -6: no card on the reader). The
// promise rejects only when the service could not be asked (not running, or
// this page's origin not allowed: see the service's --allow-origin) or
// refused the request (an Error with the service's reason).

const service = new URL("./", import.meta.url);

async function ask(method, path, body) {
  const init = { method, cache: "no-store" };
  if (method === "POST") {
    init.headers = { "Content-Type": "application/json" };
    init.body = JSON.stringify(body ?? {});
  }
  const response = await fetch(new URL(path, service), init);
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(answer.error || `HTTP ${response.status}`);
  return answer;
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
// when it is taken away, onReader(present) when the reader comes or goes.
// The service reads the card only while someone watches. Returns a function
// that stops watching.
export function watch(onCard, onRemoved, onReader) {
  const source = new EventSource(new URL("v1/events", service));
  source.addEventListener("card", (event) => onCard?.(JSON.parse(event.data)));
  source.addEventListener("removed", (event) => onRemoved?.(JSON.parse(event.data)));
  source.addEventListener("reader", (event) => onReader?.(JSON.parse(event.data).present));
  return () => source.close();
}
