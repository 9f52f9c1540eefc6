// The estate at a glance: one panel per subscription, its hubs first and then its spokes as small nodes
// coloured by outcome, peerings as lines. Many lines between two subscriptions that share one end are
// drawn as one bundle with their count. Panels flow left to right within the width.
const WIDTH = 1360;
const overview = {nodes: [], spots: [], zoom: null, drawing: null, labels: null};

function panelsOf(labelled) {
  const panels = DATA.subscriptions.map(id => ({id, hubs: [], spokes: []}));
  DATA.vnets.forEach((v, index) => (v.hub ? panels[v.sub].hubs : panels[v.sub].spokes).push(index));
  if (!labelled) {      // many nodes: like outcomes side by side, so a cluster of failures shows
    const rank = index => KIND_ORDER.indexOf(DATA.vnets[index].kind);
    panels.forEach(p => p.spokes.sort((a, b) => rank(a) - rank(b) || a - b));
  }
  // subscriptions holding hubs first: the lines to their spokes then run one way, down the page
  return panels.filter(p => p.hubs.length + p.spokes.length).sort((a, b) => !a.hubs.length - !b.hubs.length);
}

function layOut(panels, labelled) {
  const cell = labelled ? {w: 176, h: 26, node: 166, nodeH: 20} : {w: 14, h: 14, node: 11, nodeH: 11};
  const hub = labelled ? cell : {w: 30, h: 30, node: 24, nodeH: 24};
  const pad = 10, head = 24, gap = 30;
  let x = 0, y = 0, rowHeight = 0;
  panels.forEach(p => {
    p.title = "subscription " + p.id + " · " + (p.hubs.length + p.spokes.length) + " VNets";
    const titleWidth = textWidth(p.title, 12, true) + 2 * pad;
    const fitting = Math.max(1, Math.floor((WIDTH - 2 * pad) / cell.w));
    // named nodes stand in columns of up to six, so the lines from a hub fan out instead of crossing them
    let columns = labelled ? Math.ceil(p.spokes.length / 6) : Math.ceil(Math.sqrt(p.spokes.length * 2.5));
    columns = Math.min(fitting, Math.max(columns, Math.floor((titleWidth - 2 * pad) / cell.w), 1));
    const hubColumns = Math.max(1, Math.min(p.hubs.length, Math.floor((WIDTH - 2 * pad) / hub.w)));
    p.w = Math.max(titleWidth, columns * cell.w + 2 * pad, hubColumns * hub.w + 2 * pad);
    const hubRows = Math.ceil(p.hubs.length / hubColumns), rows = Math.ceil(p.spokes.length / columns);
    p.h = head + hubRows * hub.h + (hubRows && rows ? 6 : 0) + rows * cell.h + pad;
    if (x > 0 && x + p.w > WIDTH) { x = 0; y += rowHeight + gap; rowHeight = 0; }
    p.x = x; p.y = y;
    x += p.w + gap; rowHeight = Math.max(rowHeight, p.h);
    const place = (index, i, size, across, top) => {
      overview.spots[index] = {x: p.x + pad + (i % across) * size.w, y: top + Math.floor(i / across) * size.h,
                               w: size.node, h: size.nodeH, panel: p};
    };
    p.hubs.forEach((index, i) => place(index, i, hub, hubColumns, p.y + head));
    const spokesTop = p.y + head + hubRows * hub.h + (hubRows ? 6 : 0);
    p.spokes.forEach((index, i) => place(index, i, cell, columns, spokesTop));
  });
  return y + rowHeight;
}

const middle = s => [s.x + s.w / 2, s.y + s.h / 2];

function drawOverview() {
  const box = document.getElementById("overview-diagram");
  box.textContent = "";
  const labelled = DATA.vnets.length <= 60;      // past that, nodes without names (search and hover name them)
  overview.spots = [];
  const panels = panelsOf(labelled);
  const height = layOut(panels, labelled);
  const drawing = svg("svg", {class: "overview" + (labelled ? " labelled" : ""), role: "img",
                              "aria-label": "the estate: VNets by subscription, peerings as lines"}, box);
  overview.drawing = drawing;
  panels.forEach(p => {
    const g = svg("g", {class: "panel"}, drawing);
    svg("rect", {x: p.x, y: p.y, width: p.w, height: p.h, rx: 6}, g);
    svg("text", {x: p.x + 10, y: p.y + 16, class: "panel-title"}, g, p.title);
  });
  const used = drawEdges(svg("g", {class: "edges"}, drawing));
  const nodes = svg("g", {class: "nodes"}, drawing);
  overview.nodes = DATA.vnets.map((v, index) => {
    const s = overview.spots[index];
    const g = svg("g", {class: "node k-" + v.kind + (v.hub ? " hub" : ""), "data-index": index}, nodes);
    svg("title", {}, g, v.name + (v.hub ? " (hub)" : "") + ": " + outcomeLabel(v) + (v.reason ? ", " + v.reason : "")
        + "\nsubscription " + DATA.subscriptions[v.sub] + ", resource group " + v.group);
    svg("rect", {x: s.x, y: s.y, width: s.w, height: s.h, rx: labelled ? 4 : 2}, g);
    if (labelled) svg("text", {x: s.x + 6, y: s.y + 14}, g, clip(v.name, 11, s.w - 12));
    if (v.kind !== "outside") g.addEventListener("click", () => { location.hash = "vnet=" + encodeURIComponent(vnetKey(v)); });
    return g;
  });
  overview.labels = svg("g", {class: "hit-labels"}, drawing);
  overview.zoom = zoomable(box, drawing, WIDTH, height);
  drawOverviewLegend(used, labelled);
  search(document.getElementById("search").value, false);
}

// Draws the peerings of the stage shown; gives the statuses drawn and whether bundles were.
function drawEdges(layer) {
  const used = new Set(), byPanels = new Map();
  DATA.edges.forEach(([a, b, codes]) => {
    const code = codes[Math.min(stage, codes.length - 1)];
    if (code === "-") return;
    used.add(code);
    const pa = overview.spots[a].panel, pb = overview.spots[b].panel;
    if (pa === pb) return line(layer, middle(overview.spots[a]), middle(overview.spots[b]), code, a, b);
    const key = pa.id < pb.id ? pa.id + " " + pb.id : pb.id + " " + pa.id;
    if (!byPanels.has(key)) byPanels.set(key, []);
    byPanels.get(key).push([a, b, code]);
  });
  // past a few lines between two subscriptions, one bundle with their count stands for them, drawn from
  // the VNets the lines share (a subscription's hubs) to the other subscription's panel
  let bundled = false;
  byPanels.forEach(edges => {
    if (edges.length <= 8) return edges.forEach(([a, b, code]) => line(layer, middle(overview.spots[a]),
                                                                          middle(overview.spots[b]), code, a, b));
    bundled = true;
    const ends = new Map();
    edges.forEach(([a, b]) => [a, b].forEach(end => ends.set(end, (ends.get(end) || 0) + 1)));
    const anchors = new Map();
    edges.forEach(([a, b]) => { const anchor = ends.get(a) >= ends.get(b) ? a : b; anchors.set(anchor, (anchors.get(anchor) || 0) + 1); });
    const anchorPanel = overview.spots[anchors.keys().next().value].panel;
    const other = overview.spots[edges[0][0]].panel === anchorPanel ? overview.spots[edges[0][1]].panel
                                                                      : overview.spots[edges[0][0]].panel;
    const centres = [...anchors.keys()].map(index => middle(overview.spots[index]));
    const from = [0, 1].map(axis => centres.reduce((sum, c) => sum + c[axis], 0) / centres.length);
    const to = [Math.max(other.x, Math.min(from[0], other.x + other.w)), Math.max(other.y, Math.min(from[1], other.y + other.h))];
    const worst = "xrck".split("").find(code => edges.some(e => e[2] === code));
    const drawn = line(layer, from, to, worst, -1, -1);
    drawn.style.strokeWidth = 1 + Math.log2(edges.length);
    drawn.classList.add("bundled");
    svg("title", {}, drawn, edges.length + " peerings between subscriptions " + anchorPanel.id + " and " + other.id + ": " +
        [...anchors].map(([index, count]) => DATA.vnets[index].name + " " + count).join(", "));
    const length = Math.hypot(to[0] - from[0], to[1] - from[1]) || 1;     // the count just outside the panel
    svg("text", {x: to[0] - (to[0] - from[0]) * 16 / length, y: to[1] - (to[1] - from[1]) * 16 / length + 4,
                 class: "bundle", "text-anchor": "middle"}, layer, String(edges.length));
  });
  return {codes: used, bundled};
}

// A peering as a slight arc, so that lines between nodes of one row or column pass beside the nodes between.
function line(layer, [x1, y1], [x2, y2], code, a, b) {
  const cx = (x1 + x2) / 2 + (y2 - y1) * 0.15, cy = (y1 + y2) / 2 - (x2 - x1) * 0.15;
  return svg("path", {d: `M${x1},${y1} Q${cx},${cy} ${x2},${y2}`, class: "edge e-" + code, "data-a": a, "data-b": b},
             layer);
}

function drawOverviewLegend(used, labelled) {
  // every outcome met, with its count (an outcome the report does not know is coloured as failed)
  const counts = new Map();
  DATA.vnets.forEach(v => { const key = v.kind + "\n" + v.label; counts.set(key, (counts.get(key) || 0) + 1); });
  const entries = [...counts].map(([key, count]) => key.split("\n").concat(count))
    .sort((a, b) => KIND_ORDER.indexOf(a[0]) - KIND_ORDER.indexOf(b[0]))
    .map(([kind, label, count]) => ["node k-" + kind, label + ": " + count]);
  entries.push(["node hub", "hub (a VNet with a gateway or giving gateway transit)" + (labelled ? "" : ", drawn larger")]);
  "kcxr".split("").filter(code => used.codes.has(code)).forEach(code => entries.push(["line e-" + code, EDGE_LABEL[code]]));
  if (used.bundled) entries.push(["line e-k bundle", "a bundle of the peerings between two subscriptions, with their count"]);
  legend(document.getElementById("overview-legend"), entries);
}

// Highlights every VNet whose name holds the text; with `jump`, brings the first one into view.
function search(text, jump) {
  const wanted = text.trim().toLowerCase();
  const hits = [];
  overview.labels.textContent = "";
  overview.nodes.forEach((node, index) => {
    const hit = wanted !== "" && DATA.vnets[index].name.toLowerCase().includes(wanted);
    node.classList.toggle("hit", hit);
    if (!hit) return;
    hits.push(index);
    const s = overview.spots[index];
    if (!overview.drawing.classList.contains("labelled")) {
      svg("text", {x: s.x + s.w + 3, y: s.y + s.h, class: "hit-label"}, overview.labels, DATA.vnets[index].name);
    }
  });
  overview.drawing.classList.toggle("searching", wanted !== "");
  const found = document.getElementById("found");
  found.textContent = wanted === "" ? "" : hits.length + " VNet" + (hits.length === 1 ? "" : "s") + " found" +
    (hits.length ? ": " : "");
  hits.slice(0, 12).forEach((index, i) => {
    const link = html("a", {href: "#vnet=" + encodeURIComponent(vnetKey(DATA.vnets[index]))}, found,
                      DATA.vnets[index].name);
    if (i < Math.min(hits.length, 12) - 1) found.append(", ");
    link.title = "subscription " + DATA.subscriptions[DATA.vnets[index].sub];
  });
  if (hits.length > 12) found.append(" and " + (hits.length - 12) + " more");
  if (hits.length && (jump || hits.length === 1)) {
    const node = overview.nodes[hits[0]];
    overview.zoom.centre(...middle(overview.spots[hits[0]]));
    node.classList.remove("jump"); void node.getBoundingClientRect(); node.classList.add("jump");
    if (!document.getElementById("estate").hidden) node.scrollIntoView({block: "center", inline: "nearest"});
  }
  return hits;
}
