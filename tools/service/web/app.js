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

// The page's own labels and forms, under the result's keys (each element's
// id is the key of the field it shows).
const shown = {
  name: (text) => text.trim(),
  sex_code: (code) => ({ 1: "男", 2: "女" })[code] ?? code,
  nation: (text) => text,
  birth_date: date,
  address: (text) => text,
  id_number: (text) => text,
  issuing_authority: (text) => text,
  valid_from: date,
  valid_to: date,
};

function show(card) {
  const f = card.fields;
  for (const [key, form] of Object.entries(shown)) $(key).textContent = form(f[key] ?? "");
  const portrait = $("portrait");
  portrait.hidden = !f.portrait;
  if (f.portrait) portrait.src = f.portrait;
  else portrait.removeAttribute("src");
}

function clear() {
  for (const key of Object.keys(shown)) $(key).textContent = "";
  $("portrait").hidden = true;
  $("portrait").removeAttribute("src");
}

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
    event(`读到身份证：${card.fields.name.trim()}`);
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
