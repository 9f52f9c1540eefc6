"use strict";
// What both views share: the run's data, element makers (names always set as text), text measuring,
// the stage shown, zoom and pan, and which view the address asks for.
const DATA = JSON.parse(document.getElementById("report-data").textContent);
const SVGNS = "http://www.w3.org/2000/svg";
const FONT = '"DejaVu Sans Condensed", "Arial Narrow", Arial, sans-serif';
const KIND_ORDER = ["failed", "rolledback", "refused", "skipped", "done", "unchanged", "outside"];
const EDGE_LABEL = {k: "peering kept", c: "peering changed", x: "peering removed", r: "peering restored"};

function make(ns, tag, attrs, parent, text) {
  const made = ns ? document.createElementNS(ns, tag) : document.createElement(tag);
  for (const key in attrs || {}) made.setAttribute(key, attrs[key]);
  if (text !== undefined) made.textContent = text;
  if (parent) parent.appendChild(made);
  return made;
}
const svg = (tag, attrs, parent, text) => make(SVGNS, tag, attrs, parent, text);
const html = (tag, attrs, parent, text) => make(null, tag, attrs, parent, text);

// A per-stage value: one entry per stage, or one for all.
const at = (values, stage) => values.length === 1 ? values[0] : values[stage];
const outcomeLabel = v => v.label;
const vnetKey = v => DATA.subscriptions[v.sub] + "/" + v.name;
const cssWord = text => String(text).toLowerCase().replace(/[^a-z]+/g, "-");

const measuring = document.createElement("canvas").getContext("2d");
function textWidth(text, size, bold) {
  measuring.font = (bold ? "bold " : "") + size + "px " + FONT;
  return measuring.measureText(text).width;
}
function clip(text, size, width) {
  if (textWidth(text, size) <= width) return text;
  let keep = text.length;
  while (keep > 1 && textWidth(text.slice(0, keep) + "…", size) > width) keep--;
  return text.slice(0, keep) + "…";
}

// The stage drawn: the first one after a change when there is one, so a run opens on what it changed.
let stage = DATA.stages.length > 1 ? 1 : 0;
const redraws = [];
function drawStageButtons() {
  const bar = document.getElementById("stages");
  bar.textContent = "";
  if (DATA.stages.length < 2) return;
  html("span", {}, bar, "network: ");
  DATA.stages.forEach((title, index) => {
    const button = html("button", {type: "button", "aria-pressed": String(index === stage)}, bar, title);
    button.addEventListener("click", () => { stage = index; drawStageButtons(); redraws.forEach(f => f()); });
  });
}

// Fits the drawing to the width (never wider than its own size); zoom narrows the view box around a
// point (buttons, or the wheel with Ctrl), a drag moves it while zoomed. The page itself never scrolls sideways.
function zoomable(box, drawing, width, height) {
  drawing.setAttribute("viewBox", "0 0 " + width + " " + height);
  drawing.setAttribute("width", "100%");
  drawing.style.maxWidth = Math.ceil(width) + "px";
  const view = {x: 0, y: 0, w: width, h: height};
  const show = () => drawing.setAttribute("viewBox", [view.x, view.y, view.w, view.h].join(" "));
  const clamp = () => {
    view.x = Math.max(0, Math.min(view.x, width - view.w));
    view.y = Math.max(0, Math.min(view.y, height - view.h));
  };
  const zoom = (factor, cx, cy) => {
    const w = Math.min(width, Math.max(width / 24, view.w / factor)), scale = w / view.w;
    view.x = cx - (cx - view.x) * scale; view.y = cy - (cy - view.y) * scale;
    view.w = w; view.h = w * height / width;
    clamp(); show();
  };
  const controls = html("div", {class: "zoom"});
  box.insertBefore(controls, drawing);
  [["+", "zoom in", () => zoom(2, view.x + view.w / 2, view.y + view.h / 2)],
   ["−", "zoom out", () => zoom(0.5, view.x + view.w / 2, view.y + view.h / 2)],
   ["fit", "the whole drawing", () => zoom(0, 0, 0)]].forEach(([text, title, act]) => {
    html("button", {type: "button", title}, controls, text).addEventListener("click", act);
  });
  const point = event => {
    const r = drawing.getBoundingClientRect();
    return [view.x + (event.clientX - r.left) * view.w / r.width, view.y + (event.clientY - r.top) * view.h / r.height];
  };
  drawing.addEventListener("wheel", event => {
    if (!event.ctrlKey && !event.metaKey) return;
    event.preventDefault();
    zoom(event.deltaY < 0 ? 1.25 : 0.8, ...point(event));
  }, {passive: false});
  let drag = null;
  drawing.addEventListener("pointerdown", event => {
    if (view.w < width) drag = {x: event.clientX, y: event.clientY, vx: view.x, vy: view.y, moved: false};
  });
  drawing.addEventListener("pointermove", event => {
    if (!drag) return;
    const scale = view.w / drawing.getBoundingClientRect().width;
    drag.moved = drag.moved || Math.abs(event.clientX - drag.x) + Math.abs(event.clientY - drag.y) > 4;
    view.x = drag.vx - (event.clientX - drag.x) * scale; view.y = drag.vy - (event.clientY - drag.y) * scale;
    clamp(); show();
  });
  drawing.addEventListener("pointerup", () => { setTimeout(() => { drag = null; }, 0); });
  drawing.addEventListener("click", event => { if (drag && drag.moved) event.stopPropagation(); }, true);
  // puts a point of the drawing in the middle of the view (when zoomed in)
  return {centre(x, y) { view.x = x - view.w / 2; view.y = y - view.h / 2; clamp(); show(); }};
}

function legend(box, entries) {
  box.textContent = "";
  entries.forEach(([swatchClass, text]) => {
    const item = html("span", {class: "item"}, box);
    html("span", {class: "swatch " + swatchClass}, item);
    html("span", {}, item, text);
  });
}

// The address names the view: "#vnet=<subscription>/<name>" (or a bare name) opens that VNet.
function route() {
  const wanted = decodeURIComponent(location.hash.replace(/^#/, ""));
  const name = wanted.startsWith("vnet=") ? wanted.slice(5) : null;
  let index = name === null ? -1 : DATA.vnets.findIndex(v => vnetKey(v) === name);
  if (index < 0 && name !== null) index = DATA.vnets.findIndex(v => v.name === name);
  const open = index >= 0 && DATA.vnets[index].kind !== "outside";
  document.getElementById("estate").hidden = open;
  document.getElementById("vnet-view").hidden = !open;
  if (open) showVnet(index);
  window.scrollTo(0, 0);
}
