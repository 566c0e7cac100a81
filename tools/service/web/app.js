// The built-in page: read the card on request, and show what the reader
// reports while the page is open. Card data goes into the page as text only.
import { readCard, setServiceUrl, watch } from "./q48.js";

setServiceUrl(new URL("/", location.href));  // the service that serves this page

const $ = (id) => document.getElementById(id);

const reasons = {
  "-1": "未找到读卡器，或读卡器被其他程序占用",
  "-4": "读卡器无应答，请检查连接",
  "-6": "未能读取身份证，请将身份证平放在读卡器上",
};

function date(text) {
  return /^\d{8}$/.test(text) ? `${text.slice(0, 4)}.${text.slice(4, 6)}.${text.slice(6)}` : text;
}

const same = (text) => text;
const sex = (code) => ({ 1: "男", 2: "女" })[code] ?? code;

// Each kind of card: its name, and the fields the page shows, in order, as
// [result key, label, form]. The validity's two dates follow on every card.
const resident = [
  ["name", "姓名", (text) => text.trim()],
  ["sex_code", "性别", sex],
  ["nation", "民族", same],
  ["birth_date", "出生日期", date],
  ["address", "住址", same],
  ["id_number", "公民身份号码", same],
  ["issuing_authority", "签发机关", same],
];
const foreigner = [
  ["english_name", "英文姓名", same],
  ["chinese_name", "中文姓名", same],
  ["sex_code", "性别", sex],
  ["nationality", "国籍", same],
  ["birth_date", "出生日期", date],
  ["id_number", "证件号码", same],
];
const kinds = {
  resident: { title: "居民身份证", fields: resident },
  hk_mo_tw: {
    title: "港澳台居民居住证",
    fields: [
      ...resident.filter(([key]) => key !== "nation"),  // these cards carry no ethnic group
      ["pass_number", "通行证号码", same],
      ["issue_count", "签发次数", same],
    ],
  },
  foreign_2017: {
    title: "外国人永久居留身份证（2017年版）",
    fields: [...foreigner, ["authority_code", "受理机关代码", same], ["card_version", "证件版本号", same]],
  },
  foreign_2023: {
    title: "外国人永久居留身份证（2023年版）",
    fields: [...foreigner, ["renewal_count", "换证次数", same], ["previous_number_link", "既往证件关联", same]],
  },
  unknown: { title: "未知类型的证件", fields: resident },
};

function term(label, ...values) {
  const dt = document.createElement("dt");
  dt.textContent = label;
  const dd = document.createElement("dd");
  dd.append(...values);
  return [dt, dd];
}

// An element with the id of the field it shows (the result's key).
function value(key, text) {
  const span = document.createElement("span");
  span.id = key;
  span.textContent = text;
  return span;
}

// The kind's rows, each value under its result key.
function rows(kind, f) {
  const list = [];
  for (const [key, label, form] of kind.fields) list.push(...term(label, value(key, form(f[key] ?? ""))));
  list.push(...term("有效期限", value("valid_from", date(f.valid_from ?? "")), " - ", value("valid_to", date(f.valid_to ?? ""))));
  $("fields").replaceChildren(...list);
}

function show(card) {
  const f = card.fields;
  const kind = kinds[f.card_kind] ?? kinds.unknown;
  $("card_kind").textContent = kind === kinds.unknown && f.kind_mark ? `${kind.title}（标记 ${f.kind_mark}）` : kind.title;
  rows(kind, f);
  const portrait = $("portrait");
  portrait.hidden = !f.portrait;
  if (f.portrait) portrait.src = f.portrait;
  else portrait.removeAttribute("src");
}

// The last card's rows stay, emptied.
function clear() {
  $("card_kind").textContent = "";
  for (const shown of $("fields").querySelectorAll("[id]")) shown.textContent = "";
  $("portrait").hidden = true;
  $("portrait").removeAttribute("src");
}

rows(kinds.resident, {});

function status(text) {
  $("status").textContent = text;
}

function event(text) {
  const item = document.createElement("li");
  item.textContent = `${new Date().toLocaleTimeString("zh-CN", { hour12: false })} ${text}`;
  const list = $("events");
  list.prepend(item);
  while (list.children.length > 50) list.lastElementChild.remove();
}

$("read").addEventListener("click", async () => {
  $("read").disabled = true;
  status("正在读卡…");
  try {
    const card = await readCard();
    if (card.result === 0) {
      show(card);
      status(card.fields.portrait ? "读卡成功" : "读卡成功（照片未能解码：未安装照片解码库）");
    } else {
      clear();
      status(reasons[card.result] ?? card.message);
    }
  } catch (error) {
    status(error.message);  // what to do, in Chinese and English
  } finally {
    $("read").disabled = false;
  }
});

watch(
  (card) => {
    const kind = kinds[card.fields.card_kind] ?? kinds.unknown;
    event(`读到${kind === kinds.resident ? "身份证" : kind.title}：${card.fields.name.trim()}`);
    show(card);
  },
  () => {
    event("身份证已移开");
    clear();
  },
  (present) => {
    event(present ? "读卡器已连接" : "读卡器未连接");
    $("reader").textContent = present ? "已连接" : "未连接";
    $("reader").className = present ? "present" : "absent";
  },
  (error) => {
    event(error.zh);
    status(error.message);
    $("reader").textContent = "未知";
    $("reader").className = "unknown";
  },
);
