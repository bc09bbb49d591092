"""Writes the reference of the qelt-corpus command from its argument parser, so that
the page cannot drift from the command: a page's line `<!-- qelt-corpus reference -->`
becomes every subcommand with its usage and options."""

from __future__ import annotations

import argparse
from typing import Any

MARKER = "<!-- qelt-corpus reference -->"


def on_page_markdown(markdown: str, **_: Any) -> str:
    if MARKER not in markdown:
        return markdown
    return markdown.replace(MARKER, command_reference())


def command_reference() -> str:
    from qelt_corpus import cli

    main = cli.parser()
    sections = []
    commands = next(a for a in main._actions if isinstance(a, argparse._SubParsersAction))
    for name, parser in commands.choices.items():
        parser.prog = f"qelt-corpus {name}"
        lines = [f"## `qelt-corpus {name}`", "", parser.description or "", "",
                 "```text", parser.format_usage().strip(), "```", "",
                 "| Option | What it does |", "|---|---|"]
        for action in parser._actions:
            if isinstance(action, argparse._HelpAction):
                continue
            names = ", ".join(f"`{o}`" for o in action.option_strings) or f"`{action.metavar or action.dest}`"
            if action.option_strings and action.nargs != 0:
                names += f" `{action.metavar or action.dest.upper()}`"
            text = (action.help or "").replace("|", "\\|").replace("\n", " ")
            if action.choices and not isinstance(action.choices, dict):
                text += " (one of: " + ", ".join(f"`{c}`" for c in action.choices) + ")"
            if action.default not in (None, False, argparse.SUPPRESS) and action.option_strings:
                text += f" Default: `{action.default}`."
            lines.append(f"| {names} | {text} |")
        sections.append("\n".join(lines))
    return "\n\n".join(sections)
