// Types of q48reader-client (q48.js): the Q48 reader for web pages, through
// q48-service on the counter's computer.

/** Why a call got no answer from the service. */
export type Q48ErrorKind = "unreachable" | "forbidden" | "busy" | "invalid";

/** The rejection of every call that got no answer; `message` is Chinese, a line feed, then English. */
export class Q48Error extends Error {
  readonly name: "Q48Error";
  /**
   * "unreachable": the service is not running, did not answer in time, or the browser blocks this page from
   * reaching it; "forbidden": the service refuses this page's origin; "busy": too many requests wait for the
   * reader (try again after `retryAfter` seconds); "invalid": the service refused the request as sent (`reason`).
   */
  readonly kind: Q48ErrorKind;
  /** The message in Chinese. */
  readonly zh: string;
  /** The message in English. */
  readonly en: string;
  /** busy: seconds to wait before trying again. */
  readonly retryAfter?: number;
  /** forbidden, busy, invalid: the service's own words, when it gave them. */
  readonly reason?: string;
  /** invalid: the HTTP status. */
  readonly status?: number;
  /** forbidden: this page's origin, to allow with q48-service --allow-origin. */
  readonly origin?: string;
  /**
   * unreachable: the browser's loopback permission for this page, where the browser tells it; "denied" also
   * when the user refused the browser's prompt or it timed out, "prompt" when the call's timeout came first.
   */
  readonly permission?: "granted" | "denied" | "prompt";
}

/** The service's answer: the object that `q48 --json` prints. */
export interface Answer<Command extends string, Fields> {
  command: Command;
  /** The library's result code (for card-type: the card type). */
  result: number;
  /** The result code's name ("Q48_OK", "Q48_ERR_READ_CARD", ...). */
  result_name: string;
  /** What happened and what to check, in English. */
  message: string;
  /** The command's fields; an empty object when the command failed. */
  fields: Fields;
}

/** What every kind of card gives. */
export interface CommonCardFields {
  /**
   * The holder's name. Resident cards and permits: padded with blanks as the card stores it, trim() it.
   * Foreigners' cards: the English name.
   */
  name: string;
  /** "1" male, "2" female. */
  sex_code: string;
  /** YYYYMMDD. */
  birth_date: string;
  /** The identity number; foreigners' cards: the card number. */
  id_number: string;
  /** YYYYMMDD. */
  valid_from: string;
  /** YYYYMMDD, or e.g. "长期". */
  valid_to: string;
  /** "data:image/jpeg;base64,...", or "" when the portrait could not be converted. */
  portrait: string;
  /** The JPEG's size in bytes, as text. */
  photo_bytes: string;
}

/** Resident identity card. */
export interface ResidentCardFields extends CommonCardFields {
  card_kind: "resident";
  /** The ethnic group's name. */
  nation: string;
  address: string;
  issuing_authority: string;
  reserved: string;
}

/** Residence permit for residents of Hong Kong, Macao and Taiwan. */
export interface HkMoTwCardFields extends CommonCardFields {
  card_kind: "hk_mo_tw";
  /** Usually "": these cards leave the ethnic group blank. */
  nation: string;
  address: string;
  issuing_authority: string;
  /** The holder's travel permit number. */
  pass_number: string;
  /** How often the permit was issued, e.g. "01". */
  issue_count: string;
}

/** Foreigner's permanent residence card, 2017 edition. */
export interface Foreign2017CardFields extends CommonCardFields {
  card_kind: "foreign_2017";
  english_name: string;
  /** "" when the card has none. */
  chinese_name: string;
  /** ISO 3166-1 three-letter code, e.g. "USA". */
  nationality: string;
  card_version: string;
  /** The accepting authority's code. */
  authority_code: string;
}

/** Foreigner's permanent residence card, 2023 edition. */
export interface Foreign2023CardFields extends CommonCardFields {
  card_kind: "foreign_2023";
  /** Up to 46 characters. */
  english_name: string;
  /** "" when the card has none. */
  chinese_name: string;
  /** ISO 3166-1 three-letter code, e.g. "USA". */
  nationality: string;
  renewal_count: string;
  /** Links to the holder's earlier card number. */
  previous_number_link: string;
}

/** A card whose kind mark this version does not know, read as a resident card. */
export interface UnknownCardFields extends Omit<ResidentCardFields, "card_kind"> {
  card_kind: "unknown";
  /** The card's kind mark, one character. */
  kind_mark: string;
}

/** A card's fields: switch on `card_kind` to reach its kind's own. */
export type CardFields =
  | ResidentCardFields
  | HkMoTwCardFields
  | Foreign2017CardFields
  | Foreign2023CardFields
  | UnknownCardFields;

/** result 1: a reader is attached. */
export function listReader(): Promise<Answer<"list", { device?: string }>>;
/** result 0: the card was read; -6: no card on the reader. */
export function readCard(): Promise<Answer<"read-card", CardFields>>;
export function readIccid(): Promise<Answer<"iccid", { iccid: string }>>;
/** result: the card type, 0..255. */
export function cardType(): Promise<Answer<"card-type", { card_type: string }>>;
/** Writes "+86" + number, then content, to the SIM card (each 1 to 19 bytes in GBK). */
export function writeSim(number: string | number, content: string): Promise<Answer<"write", Record<string, never>>>;

/**
 * Watches the reader: onCard when a card is placed (or a different one), onRemoved when it is taken away,
 * onReader when the reader comes or goes, onError when the service cannot be reached. Returns a function that
 * stops watching.
 */
export function watch(
  onCard?: (card: Answer<"read-card", CardFields>) => void,
  onRemoved?: (answer: Answer<"read-card", Record<string, never>>) => void,
  onReader?: (present: boolean) => void,
  onError?: (error: Q48Error) => void,
): () => void;

/** What `events` dispatches. */
export interface Q48EventMap {
  /**
   * A call waits while the browser asks the user whether this site may reach this computer (Firefox for any
   * site, Chromium's browsers for https sites, unless a policy allows it). Tell the user to choose "Allow" in
   * the browser's prompt. Comes about a second after the call, once per question.
   */
  permissionpending: Event;
  /**
   * The question is gone: "granted" (the calls go on), "denied" (they reject "unreachable" with
   * `permission: "denied"`), or "prompt" (no answer within the call's timeout).
   */
  permissionsettled: CustomEvent<{ permission: "granted" | "denied" | "prompt" }>;
}

/** An EventTarget with the events of `Q48EventMap`. */
export interface Q48Events extends EventTarget {
  addEventListener<K extends keyof Q48EventMap>(
    type: K,
    listener: (event: Q48EventMap[K]) => void,
    options?: boolean | AddEventListenerOptions,
  ): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | AddEventListenerOptions): void;
  removeEventListener<K extends keyof Q48EventMap>(
    type: K,
    listener: (event: Q48EventMap[K]) => void,
    options?: boolean | EventListenerOptions,
  ): void;
  removeEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | EventListenerOptions): void;
}

/** The package's events, for every call and watch(). */
export const events: Q48Events;

/**
 * Where q48-service listens (default "http://127.0.0.1:18848/"), and how long a call may wait for its answer
 * (`timeout` in milliseconds, default 60000). Throws TypeError for a URL that is not http or https.
 */
export function setServiceUrl(url: string | URL, options?: { timeout?: number }): void;
