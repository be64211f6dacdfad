// The page of the web view: plain HTML, CSS and JavaScript, served from the binary, fetching
// nothing from elsewhere.
#include <string_view>

namespace quill {

extern const std::string_view kWebPage;
const std::string_view kWebPage = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>quill: virtual printer</title>
<style>
  body { font: 14px/1.4 system-ui, sans-serif; margin: 0; background: #f3f3f1; color: #222; }
  header { background: #2b3440; color: #fff; padding: 8px 16px; display: flex; gap: 16px;
           align-items: center; flex-wrap: wrap; }
  header h1 { font-size: 16px; margin: 0; }
  #live { font-size: 12px; padding: 2px 8px; border-radius: 8px; background: #7a2a2a; }
  #live.on { background: #2a7a3a; }
  main { display: grid; grid-template-columns: minmax(0, 1fr) 300px; gap: 16px; padding: 16px; }
  aside section, .label { background: #fff; border: 1px solid #ddd; border-radius: 6px;
                          padding: 10px 12px; margin-bottom: 12px; }
  aside h2 { font-size: 14px; margin: 0 0 6px; }
  dl { display: grid; grid-template-columns: auto 1fr; gap: 2px 10px; margin: 0; }
  dt { color: #666; } dd { margin: 0; font-family: monospace; overflow-wrap: anywhere; }
  .label .meta { color: #555; margin-bottom: 6px; }
  .label img { image-rendering: pixelated; border: 1px solid #bbb; background: #fff;
               display: block; margin-bottom: 6px; }
  .label .logs { background: #fff4d6; border-left: 3px solid #d9a400; padding: 4px 8px;
                 font-family: monospace; white-space: pre-wrap; margin-bottom: 6px; }
  pre.transcript { background: #f7f7f7; padding: 6px; max-height: 240px; overflow: auto;
                   margin: 0; font-size: 12px; }
  pre.transcript span { display: block; }
  pre.transcript span.logged { background: #ffe08a; }
  .bits label { display: block; }
  #empty { color: #777; }
</style>
</head>
<body>
<header>
  <h1>quill virtual printer</h1>
  <span id="live">not connected</span>
  <label>zoom <select id="zoom">
    <option value="0.5">50 %</option><option value="1" selected>100 %</option>
    <option value="2">200 %</option><option value="3">300 %</option></select></label>
</header>
<main>
  <div id="labels"><p id="empty">No label printed yet.</p></div>
  <aside>
    <section>
      <h2>Printer</h2>
      <dl id="printer"></dl>
    </section>
    <section>
      <h2>Status byte <span id="status-byte"></span></h2>
      <div class="bits" id="bits"></div>
    </section>
    <section>
      <h2>Battery</h2>
      <dl id="battery"></dl>
    </section>
    <section>
      <h2>Stored files</h2>
      <dl id="files"></dl>
    </section>
  </aside>
</main>
<script>
"use strict";
let state = null;

function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) node.setAttribute(key, value);
  for (const child of children) node.append(child);
  return node;
}

function pairs(target, entries) {
  target.replaceChildren(...entries.flatMap(([k, v]) => [el("dt", {}, k), el("dd", {}, String(v))]));
}

function renderLabels() {
  const zoom = Number(document.getElementById("zoom").value);
  const list = document.getElementById("labels");
  if (state.labels.length === 0) {
    list.replaceChildren(el("p", {id: "empty"}, "No label printed yet."));
    return;
  }
  list.replaceChildren(...state.labels.map(label => {
    const box = el("div", {class: "label", id: "label-" + label.number});
    const dpmm = state.printer.dpi === 300 ? 12 : 8;
    box.append(el("div", {class: "meta"},
      `#${label.number} at ${label.time}: ${label.width} x ${label.height} dots ` +
      `(${label.width / dpmm} x ${label.height / dpmm} mm), ${label.copies} ` +
      `cop${label.copies === 1 ? "y" : "ies"}, from ${label.connection || "this process"}`));
    if (label.saved) {
      box.append(el("img", {src: `/labels/${label.number}.png`, alt: `label ${label.number}`,
                            width: label.width * zoom, height: label.height * zoom}));
    } else {
      box.append(el("p", {}, "(image not saved)"));
    }
    if (label.logs.length) box.append(el("div", {class: "logs"}, label.logs.join("\n")));
    box.append(el("pre", {class: "transcript"},
      ...label.transcript.map(line => el("span", line.logged ? {class: "logged"} : {}, line.text))));
    return box;
  }));
}

function renderPrinter() {
  const p = state.printer;
  pairs(document.getElementById("printer"), [["model", p.model], ["serial", p.serial],
        ["status", p.status_text], ["resolution", p.dpi + " dpi"]]);
  document.getElementById("status-byte").textContent =
      "0x" + p.status.toString(16).padStart(2, "0");
  const bits = document.getElementById("bits");
  bits.replaceChildren(...state.status_bits.map((name, bit) => {
    const box = el("input", {type: "checkbox", "data-bit": bit});
    box.checked = (p.status >> bit) & 1;
    box.addEventListener("change", () => setStatus(p.status ^ (1 << bit)));
    return el("label", {}, box, " " + name);
  }));
  pairs(document.getElementById("battery"), Object.entries(p.battery));
  pairs(document.getElementById("files"), p.files.map(f => [f.name, f.size + " bytes"]));
}

async function setStatus(byte) {
  await fetch("/api/status", {method: "POST", headers: {"Content-Type": "application/json"},
                              body: JSON.stringify({status: byte})});
}

async function refresh() {
  const response = await fetch("/api/state", {cache: "no-store"});
  state = await response.json();
  renderLabels();
  renderPrinter();
  document.body.dataset.version = state.version;
}

document.getElementById("zoom").addEventListener("change", () => state && renderLabels());
const events = new EventSource("/events");
events.onopen = () => {
  document.getElementById("live").textContent = "live";
  document.getElementById("live").className = "on";
};
events.onerror = () => {
  document.getElementById("live").textContent = "reconnecting";
  document.getElementById("live").className = "";
};
events.onmessage = () => refresh();
refresh();
</script>
</body>
</html>
)page";

}  // namespace quill
