"""The migration driver: discover, plan, switch, revert and rehearse, over the two libraries.

    commands    the commands and what they share (preflight, logging, the VNet loop)
    config      the configuration, read and checked before anything changes
    environment the local cloud and controller, or Azure and a real controller
    targets     accounts and VNets to act on, with each VNet's option mapping
    steps       the switch of one VNet and its revert, step by step
    records     the records file: every step event journalled, the whole document at the end
    journal     the records file on disk: its lock, its chained journal, its view with a digest
    shapes      the shape of every record kind, checked before a revert uses it
    locks       the remote VNets' locks a peering removal deletes, noted and put back
    snapshot    a copy of the network read through the SDK, and the differences of two
    discovery   the discovery report
    changes     the per-VNet account of what changed
    summary     the closing summary, its JSON form and the progress line
    rehearsal   switch and revert on a local copy, with the round-trip verdict
    htmlreport  the HTML report: one page, its style and script inline (templates/), the data drawn from
    reportmodel the report's data: every VNet at each stage, its outcome and steps
    steprows    a VNet's steps as rows, with the log lines of each step and what was left alone and why
"""
VERSION = "1.0.0"
