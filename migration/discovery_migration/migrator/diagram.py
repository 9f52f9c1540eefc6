"""One subscription's network as an SVG diagram, laid out by Graphviz.

Each VNet is one node whose label lists its address space, subnets with the
route table each uses, gateways, locks and spoke gateway; resource groups are
clusters and peerings are edges. Labels are Graphviz HTML-like labels made by
the escaping template engine, and nodes are named by position ("v3"), never
by a resource name, so no name reaches the SVG other than as escaped text.
"""
import graphviz
from markupsafe import Markup

MAX_VNETS = 150   # past this many VNets in one subscription a drawing is unreadable: a note stands in for it

EDGE_STYLE = {"kept": {"color": "#5b6b7b"}, "changed": {"color": "#d97706", "penwidth": "2"},
              "removed": {"color": "#dc2626", "style": "dashed", "penwidth": "2"},
              "restored": {"color": "#16a34a", "penwidth": "2"}}


def render(view, templates):
    """{"svg": the diagram or None, "note": why there is none or None, "missing": Graphviz not installed}."""
    if view["vnets"] > MAX_VNETS:
        return {"svg": None, "missing": False,
                "note": str(view["vnets"]) + " VNets: past " + str(MAX_VNETS) + " VNets in one subscription "
                        "the diagram is left out; the tables hold every VNet"}
    labels = templates.get_template("labels.j2").module
    graph = graphviz.Graph(graph_attr={"rankdir": "LR", "fontname": "Helvetica", "fontsize": "11",
                                       "nodesep": "0.25", "ranksep": "1.0", "bgcolor": "transparent"},
                           node_attr={"shape": "plain", "fontname": "Helvetica", "fontsize": "10"},
                           edge_attr={"fontname": "Helvetica", "fontsize": "9"})
    for index, (group, vnets) in enumerate(view["groups"]):
        with graph.subgraph(name="cluster_" + str(index)) as cluster:
            cluster.attr(label=str(labels.group(group)), style="rounded", color="#9aa5b1")
            for vnet in vnets:
                cluster.node(vnet["id"], label=str(labels.vnet(vnet)))
    for outside in view["external"]:
        graph.node(outside["id"], label=str(labels.outside(outside)))
    for edge in view["edges"]:
        graph.edge(edge["a"], edge["b"], label=str(labels.edge(edge)), **EDGE_STYLE[edge["status"]])
    try:
        svg = graph.pipe(format="svg", encoding="utf-8")
    except graphviz.ExecutableNotFound:
        return {"svg": None, "missing": True, "note": None}
    except graphviz.CalledProcessError as error:
        return {"svg": None, "missing": False, "note": "Graphviz could not draw it: " + str(error.stderr or error)}
    # dot escapes every text it writes; the XML prologue goes, as the SVG sits inside the page
    return {"svg": Markup(svg[svg.index("<svg"):]), "missing": False, "note": None}
