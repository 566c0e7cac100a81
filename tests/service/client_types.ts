// An integrator's TypeScript against the declarations in the q48reader-client
// package: it must compile, and each @ts-expect-error line must be refused.
import { Q48Error, cardType, events, readCard, setServiceUrl, watch, writeSim } from "q48reader-client";

setServiceUrl(new URL("http://127.0.0.1:18848/"), { timeout: 10000 });

export async function show(): Promise<string> {
  try {
    const card = await readCard();
    const type: string = (await cardType()).fields.card_type;
    return card.result === 0 ? card.fields.name.trim() + card.fields.portrait + type : card.message;
  } catch (err) {
    if (!(err instanceof Q48Error)) throw err;
    const kind: "unreachable" | "forbidden" | "busy" | "invalid" = err.kind;
    // @ts-expect-error: there is no other kind
    const other: "timeout" = err.kind;
    return `${kind} ${other} ${err.retryAfter ?? ""} ${err.reason ?? ""} ${err.zh} ${err.en}`;
  }
}

const stop: () => void = watch(
  (card) => card.fields.id_number,
  (removed) => removed.result,
  (present: boolean) => present,
  (error: Q48Error) => error.permission,
);
stop();
// @ts-expect-error: the content is text
void writeSim("13800138000", 5);
// @ts-expect-error: a card has no such field
void readCard().then((card) => card.fields.photo);

events.addEventListener("permissionpending", (event: Event) => event.type);
events.addEventListener("permissionsettled", (event) => {
  const permission: "granted" | "denied" | "prompt" = event.detail.permission;
  return permission;
});
// @ts-expect-error: a settled question has no other state
events.addEventListener("permissionsettled", (event) => { const other: "unknown" = event.detail.permission; });
// The fields are told apart by their kind.
void readCard().then((card) => {
  const f = card.fields;
  if (f.card_kind === "foreign_2023") return f.english_name + f.nationality + f.previous_number_link;
  if (f.card_kind === "hk_mo_tw") return f.pass_number + f.issue_count + f.address;
  if (f.card_kind === "unknown") return f.kind_mark + f.reserved;
  // @ts-expect-error: a resident card has no nationality, until its kind says otherwise
  return f.nationality;
});
