// One VNet: its subnets (prefix, route table before and after with its marks), gateways, locks and
// spoke gateway on the controller, beside its direct neighbours with both halves of each peering; what
// changed since the stage before is highlighted. Below, the steps of each run with their log lines.
const MARK_TEXT = {m: "main table", s: "staged copy", p: "propagation off"};
const LEGEND = {
  changed: ["row changed", "yellow: changed since the stage before"],
  old: ["piece old", "red, struck: as it was before (or removed)"],
  new: ["piece new", "bold: as it is now"],
  mark: ["piece mark", "[main table], [staged copy]: tables the switch moves subnets onto; [propagation off]: gateway routes not propagated"],
  switched: ["piece switched", "propagation switched: the table's gateway-route propagation changed"],
  skipped: ["piece skipped", "skipped: the subnet should have moved and did not (the reason follows)"],
  "left-alone": ["piece left-alone", "left alone: not moved, by design (the reason follows)"],
  removed: ["piece removed", "removed since the stage before"],
  restored: ["piece restored", "restored (or added) since the stage before"],
};
let shownVnet = -1;
redraws.push(() => { if (shownVnet >= 0 && !document.getElementById("vnet-view").hidden) showVnet(shownVnet); });

const tableName = index => index === -1 ? "no route table" : DATA.tables[index][0];
const tableFlags = (index, when) => index >= 0 ? at(DATA.tables[index][1], when) : "";
const flagText = bits => DATA.flags.filter((_, bit) => bits & (1 << bit)).join(", ") || "no flags";

function showVnet(index) {
  shownVnet = index;
  const v = DATA.vnets[index];
  const view = document.getElementById("vnet-view");
  view.textContent = "";
  html("a", {href: "#", class: "back"}, view, "← the estate overview");
  html("h2", {}, view, "VNet " + v.name);
  const facts = html("p", {class: "facts"}, view);
  facts.append("subscription ");
  html("span", {class: "id"}, facts, DATA.subscriptions[v.sub]);
  facts.append(", resource group " + v.group + ", address space " + ((at(v.space, stage) || []).join(", ") || "unknown"));
  const banner = html("p", {class: "banner k-" + v.kind}, view);
  html("b", {}, banner, outcomeLabel(v));
  if (v.reason) banner.append(": " + v.reason);
  html("p", {class: "caption"}, view, "The network " + DATA.stages[stage] +
       (stage > 0 ? "; what changed since " + DATA.stages[stage - 1] + " is highlighted." : "."));
  const box = html("div", {class: "diagram"}, view);
  const legendBox = html("p", {class: "legend"}, view);
  const used = drawVnet(box, index);
  legend(legendBox, Object.keys(LEGEND).filter(key => used.has(key)).map(key => LEGEND[key])
    .concat("kcxr".split("").filter(code => used.has("e-" + code)).map(code => ["line e-" + code, EDGE_LABEL[code]])));
  stepTables(view, v);
}

// The rows of the VNet's box: each a list of cells, each cell a list of [text, class] pieces.
function vnetRows(v, used) {
  const then = stage > 0 ? stage - 1 : stage;
  const marks = (v.marks.find(([run]) => run === stage - 1) || [0, {}])[1];   // the run that led to this stage
  const rows = [];
  v.subnets.forEach(([name, prefix, tables]) => {
    const now = at(tables, stage) ?? -2, before = at(tables, then) ?? -2;   // -2: not there at that stage
    if (now === -2 && before === -2) return;
    if (now === -2) { rows.push({cells: [[[name, "old"]], [[prefix, ""]], [["subnet removed", "removed"]]], changed: true}); return; }
    const pieces = [];
    const moved = before !== now && before !== -2;
    if (moved) pieces.push([tableName(before), "old"], [" → ", ""]);
    pieces.push([tableName(now), moved ? "new" : ""]);
    const flags = tableFlags(now, stage);
    flags.split("").forEach(flag => pieces.push([" [" + MARK_TEXT[flag] + "]", "mark"]));
    const switched = !moved && now >= 0 && flags.includes("p") !== tableFlags(now, then).includes("p");
    if (switched) pieces.push([" propagation switched " + (flags.includes("p") ? "off" : "on"), "switched"]);
    const mark = marks[name];
    const note = mark ? [[mark[0] + ": " + mark[1], cssWord(mark[0])]] : [];
    rows.push({cells: [[[name, ""]], [[prefix, ""]], pieces, note], changed: moved || switched});
  });
  const gateways = at(v.gateways, stage) || [];
  if (gateways.length) rows.push({cells: [[["gateways: " + gateways.join(", "), ""]]]});
  const locksNow = at(v.locks, stage) || [], locksThen = at(v.locks, then) || [];
  if (locksNow.length || locksThen.length) {
    const pieces = [["locks: " + (locksNow.length ? "" : "none"), ""]];
    locksNow.forEach((lock, i) => pieces.push([(i ? ", " : "") + lock, locksThen.includes(lock) ? "" : "restored"]));
    locksThen.filter(lock => !locksNow.includes(lock)).forEach(lock => pieces.push(["  " + lock, "old"], [" removed", "removed"]));
    rows.push({cells: [pieces], changed: locksNow.join() !== locksThen.join()});
  }
  const spoke = at(v.spoke, stage), spokeThen = at(v.spoke, then);
  if (spoke) {
    const pieces = [["controller: gateway " + spoke[0] + ", SNAT ", ""]];
    if (spokeThen && spokeThen[1] !== spoke[1]) pieces.push([String(spokeThen[1]), "old"], [" → ", ""]);
    pieces.push([String(spoke[1]), spokeThen && spokeThen[1] !== spoke[1] ? "new" : ""]);
    const domains = spoke[2].join(", ") || "none", domainsThen = spokeThen ? spokeThen[2].join(", ") || "none" : domains;
    pieces.push([", domain ", ""]);
    if (domainsThen !== domains) pieces.push([domainsThen, "old"], [" → ", ""]);
    pieces.push([domains, domainsThen !== domains ? "new" : ""]);
    rows.push({cells: [pieces], changed: JSON.stringify(spoke) !== JSON.stringify(spokeThen || spoke)});
  }
  rows.forEach(row => {
    if (row.changed) used.add("changed");
    row.cells.forEach(cell => cell.forEach(([, kind]) => { if (kind) used.add(kind); }));
  });
  return rows;
}

const SIZE = 12, ROW = 20, PAD = 8, HEAD = 28;
const BOLD = new Set(["new", "skipped", "restored", "title"]);
const piecesWidth = pieces => pieces.reduce((sum, [text, kind]) => sum + textWidth(text, kind === "title" ? 14 : SIZE, BOLD.has(kind)), 0);

function writePieces(parent, x, y, pieces) {
  const text = svg("text", {x, y}, parent);
  pieces.forEach(([words, kind]) => svg("tspan", kind ? {class: "piece " + kind} : {}, text, words));
}

function drawVnet(box, index) {
  const v = DATA.vnets[index], used = new Set(), rows = vnetRows(v, used);
  const columns = [0, 1, 2, 3].map(c => Math.max(0, ...rows.filter(r => r.cells.length > 1 && r.cells[c])
    .map(r => piecesWidth(r.cells[c]))));
  const title = v.name + "   " + ((at(v.space, stage) || []).join(", "));
  const width = Math.max(textWidth(title, 14, true) + 2 * PAD, 260,
                         columns.reduce((sum, w) => sum + w + 14, 2 * PAD),
                         ...rows.filter(r => r.cells.length === 1).map(r => piecesWidth(r.cells[0]) + 2 * PAD));
  const nodes = neighbours(index, used);
  const nodeWidth = Math.max(0, ...nodes.map(n => n.width));
  const gap = nodes.length ? 140 : 0, total = width + gap + nodeWidth + 2;
  const boxHeight = HEAD + rows.length * ROW + PAD;
  const height = Math.max(boxHeight, nodes.reduce((sum, n) => sum + n.height + 12, 0)) + 2;
  const drawing = svg("svg", {class: "vnet", role: "img", "aria-label": "VNet " + v.name + " and its neighbours"}, box);
  const edges = svg("g", {class: "edges"}, drawing);
  const g = svg("g", {class: "vnet-box k-" + v.kind}, drawing);
  svg("rect", {x: 1, y: 1, width, height: boxHeight, rx: 6, class: "frame"}, g);
  svg("rect", {x: 1, y: 1, width, height: HEAD - 4, rx: 6, class: "head"}, g);
  const head = svg("text", {x: PAD, y: 19, class: "title"}, g, v.name);
  svg("tspan", {class: "space"}, head, "   " + ((at(v.space, stage) || []).join(", ")));
  rows.forEach((row, i) => {
    const y = HEAD + i * ROW;
    if (row.changed) svg("rect", {x: 2, y: y + 1, width: width - 2, height: ROW - 1, class: "row changed"}, g);
    let x = PAD;
    row.cells.forEach((cell, c) => {
      writePieces(g, x, y + 15, cell);
      x += columns[c] + 14;
    });
  });
  let y = 1;
  nodes.forEach(n => {
    const x = width + gap;
    const ng = svg("g", {class: "neighbour k-" + n.vnet.kind}, drawing);
    svg("rect", {x, y, width: nodeWidth, height: n.height, rx: 6, class: "frame"}, ng);
    svg("title", {}, ng, n.vnet.name + ": " + outcomeLabel(n.vnet));
    n.lines.forEach((pieces, i) => writePieces(ng, x + PAD, y + 16 + i * ROW, pieces));
    if (n.vnet.kind !== "outside") ng.addEventListener("click", () => { location.hash = "vnet=" + encodeURIComponent(vnetKey(n.vnet)); });
    const path = "M" + (width + 1) + "," + 12 + " C" + (width + gap / 2) + "," + 12 + " " + (width + gap / 2) + "," +
      (y + 12) + " " + x + "," + (y + 12);
    svg("path", {d: path, class: "edge e-" + n.code}, edges);
    y += n.height + 12;
  });
  zoomable(box, drawing, total, height);
  return used;
}

// The VNets peered with this one at the stage shown or the one before: name, outcome and both halves.
function neighbours(index, used) {
  const then = stage > 0 ? stage - 1 : stage;
  const found = [];
  DATA.edges.forEach(([a, b, codes]) => {
    if (a !== index && b !== index) return;
    const code = codes[Math.min(stage, codes.length - 1)];
    if (code === "-") return;
    const other = a === index ? b : a, vnet = DATA.vnets[other];
    used.add("e-" + code);
    const lines = [[[vnet.name, "title"], [vnet.sub !== DATA.vnets[index].sub ? "  subscription " + DATA.subscriptions[vnet.sub] : "", "space"]],
                   [["outcome: " + outcomeLabel(vnet) + (vnet.hub ? ", hub" : ""), ""]]];
    const halves = DATA.vnets[index].peerings.filter(p => p[1] === other).map(p => [p, "this VNet's half"])
      .concat(other === index ? [] : vnet.peerings.filter(p => p[1] === index).map(p => [p, "its half"]));
    halves.forEach(([[name, , values], whose]) => {
      const now = at(values, stage), before = at(values, then);
      if (!now && !before) return;
      const shown = now || before, status = !now ? "removed" : !before ? "restored" : "";
      const pieces = [["⇄ " + name + " (" + whose + "): ", status === "removed" ? "old" : ""],
                      [shown[0] + "; " + flagText(shown[1]), status === "removed" ? "old" : ""]];
      if (now && before && JSON.stringify(now) !== JSON.stringify(before)) {
        pieces.push(["  was " + before[0] + "; " + flagText(before[1]), "old"]);
        used.add("old");
      }
      if (status) { pieces.push(["  " + status, status]); used.add(status); used.add("old"); }
      lines.push(pieces);
    });
    if (vnet.kind === "outside") lines.push([["its own half is not in the configured subscriptions", ""]]);
    found.push({vnet, code, lines, width: Math.max(...lines.map(piecesWidth)) + 2 * PAD, height: lines.length * ROW + 6});
  });
  return found;
}

function stepTables(view, v) {
  if (!v.rows.length) {
    html("p", {}, view, "No step of the run handled this VNet.");
    return;
  }
  v.rows.forEach(([run, rows]) => {
    html("h3", {}, view, "Steps of the " + DATA.runs[run]);
    const table = html("table", {class: "steps"}, view);
    const header = html("tr", {}, table);
    ["step", "change", "outcome"].forEach(text => html("th", {}, header, text));
    rows.forEach(([step, change, outcome, lines]) => {
      const tr = html("tr", {class: "step-row"}, table);
      html("td", {class: "id"}, tr, step);
      html("td", {}, tr, change);
      html("td", {class: "outcome o-" + cssWord(outcome)}, tr, outcome);
      if (!lines.length) return;
      const under = html("td", {colspan: 3}, html("tr", {class: "lines"}, table));
      html("pre", {}, under, lines.map(([level, text]) => level + ": " + text).join("\n"));
    });
  });
}
