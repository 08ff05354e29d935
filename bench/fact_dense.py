"""Writes a fact-dense XBRL 2.1 instance shaped like a large utility form:
many numeric facts over thousands of dimensional contexts, laid out the way
such filings are generated (indented, contexts and units interleaved, typed
and explicit members, hourly-style series).

    python bench/fact_dense.py OUT.xbrl [--facts 18000] [--contexts 9000]

The same arguments always give the same bytes. The default is about 5 MB.
"""

from __future__ import annotations

import argparse
from pathlib import Path

HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<!--generated fact-dense instance for benchmarks-->
<xbrli:xbrl xmlns:xbrli="http://www.xbrl.org/2003/instance" xmlns:util="http://example.com/form/2024/util" \
xmlns:xbrldi="http://xbrl.org/2006/xbrldi" xmlns:iso4217="http://www.xbrl.org/2003/iso4217" \
xmlns:link="http://www.xbrl.org/2003/linkbase" xmlns:xlink="http://www.w3.org/1999/xlink" xml:lang="en">
  <link:schemaRef xlink:href="https://example.com/form/2024/util.xsd" xlink:type="simple"/>
"""
UNITS = [("u-usd", "iso4217:USD"), ("u-mwh", "util:MWh"), ("u-mw", "util:MW"), ("u-pure", "xbrli:pure")]
CONCEPTS = [("PlanningAreaHourlyDemand", "u-mw", "0"), ("NetEnergyForLoad", "u-mwh", "0"),
            ("ActualNetInterchange", "u-mw", "0"), ("PeakDemandForecast", "u-mw", "-1"),
            ("GenerationCost", "u-usd", "2"), ("LoadFactor", "u-pure", "4")]


def context(i: int) -> str:
    day, hour = divmod(i, 24)
    month, dom = divmod(day % 365, 28)
    area = i % 7
    member = (f'<xbrldi:typedMember dimension="util:HourAxis"><util:HourDomain>{hour + 1}</util:HourDomain>'
              '</xbrldi:typedMember>' if i % 3 == 0 else
              f'<xbrldi:explicitMember dimension="util:PlanningAreaAxis">util:Area{area}Member</xbrldi:explicitMember>')
    return (f'  <xbrli:context id="c-{i + 1}">\n    <xbrli:entity>\n'
            f'      <xbrli:identifier scheme="http://example.com/CID">C{1000 + area:06d}</xbrli:identifier>\n'
            f'      <xbrli:segment>{member}</xbrli:segment>\n    </xbrli:entity>\n'
            f'    <xbrli:period><xbrli:instant>2024-{month % 12 + 1:02d}-{dom + 1:02d}</xbrli:instant></xbrli:period>\n'
            '  </xbrli:context>\n')


def fact(i: int, contexts: int) -> str:
    name, unit, decimals = CONCEPTS[i % len(CONCEPTS)]
    c = (i * 7919) % contexts + 1
    whole = (i * 2654435761) % 9_000_000
    value = f"{whole}.{i % 100:02d}" if decimals in ("2", "4") else str(whole - 4_000_000 * (i % 5 == 0))
    return (f'  <util:{name} contextRef="c-{c}" unitRef="{unit}" decimals="{decimals}" '
            f'id="f-{i + 1}">{value}</util:{name}>\n')


def document(facts: int, contexts: int) -> str:
    parts = [HEAD]
    for i in range(contexts):
        parts.append(context(i))
        if i < len(UNITS):
            uid, measure = UNITS[i]
            parts.append(f'  <xbrli:unit id="{uid}">\n    <xbrli:measure>{measure}</xbrli:measure>\n  </xbrli:unit>\n')
    parts.extend(fact(i, contexts) for i in range(facts))
    parts.append("</xbrli:xbrl>\n")
    return "".join(parts)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", type=Path)
    parser.add_argument("--facts", type=int, default=18000)
    parser.add_argument("--contexts", type=int, default=9000)
    args = parser.parse_args()
    args.out.write_text(document(args.facts, args.contexts), encoding="utf-8")


if __name__ == "__main__":
    main()
