"""Rich notebook display of models and recordings: HTML summary tables (``_repr_html_``)."""

import base64
import html

from .neighborhood import NEIGHBORHOODS

_NEIGHBORHOOD_NAMES = {order: name for name, order in NEIGHBORHOODS.items()}

# Draws the last frame of a recording as PNG bytes (None: no picture). The pictures live in
# morva.viz, a layer above this one, which hands its function over when it is imported (as
# ``import morva`` does).
_frame_png = None


def show_recordings_as(frame_png):
    """Make ``frame_png(rec)``, PNG bytes or None, the picture under a recording's summary table.

    Examples
    --------
    >>> from morva.viz.notebook import last_frame_png; show_recordings_as(last_frame_png)
    """
    global _frame_png
    _frame_png = frame_png


def _table(rows, header=None):
    def cells(row, tag):
        return "".join(f"<{tag} style='text-align:left'>{html.escape(str(c))}</{tag}>" for c in row)

    head = f"<tr>{cells(header, 'th')}</tr>" if header else ""
    return f"<table>{head}{''.join(f'<tr>{cells(r, 'td')}</tr>' for r in rows)}</table>"


def model_html(model):
    """An HTML summary of a model: lattice, cell types, contact energies, fields and placements.

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((20, 20)).add_type("a", volume=9, lambda_volume=1).set_contact("medium", "a", 8)
    >>> "<th style='text-align:left'>volume</th>" in model_html(m), "a:a" in model_html(m)
    (True, True)
    """
    lattice = (f"{' x '.join(map(str, model.shape))} sites, {model.boundary}, "
               f"{_NEIGHBORHOOD_NAMES.get(model.neighborhood, model.neighborhood)} neighbourhood, "
               f"temperature {model.temperature:g}")
    parts = [f"<p><b>Model</b>: {html.escape(lattice)}</p>"]
    if model.types:
        colours = getattr(model, "type_colours", {}) or {}
        header = ["type", "volume", "lambda_volume", "surface", "lambda_surface", "connectivity", "colour"]
        rows = [[name, f"{t.volume:g}", f"{t.lambda_volume:g}", f"{t.surface:g}", f"{t.lambda_surface:g}",
                 t.connectivity, colours.get(name, "")] for name, t in model.types.items()]
        parts.append(_table(rows, header))
        names = model.type_names
        pairs = [(a, b) for i, a in enumerate(names) for b in names[i:] if (a, b) != ("medium", "medium")]
        missing = set(model.missing_contacts())
        rows = [[f"{a}:{b}", "missing" if (a, b) in missing else f"{model.contact(a, b):g}"
                 + ("" if (a, b) in model.contacts else " (default)")] for a, b in pairs]
        parts.append(_table(rows, ["contact", "J"]))
    if model.fields:
        rows = [[name, f"{f.diffusion:g}", f"{f.decay:g}", ", ".join(f"{t} {r:g}" for t, r in f.secretion.items()),
                 ", ".join(f"{t} {c.strength:g}" for t, c in f.chemotaxis.items())] for name, f in model.fields.items()]
        parts.append(_table(rows, ["field", "diffusion", "decay", "secretion", "chemotaxis"]))
    if model.reactions:
        rows = [[name, r.function, ", ".join(r.fields)] for name, r in model.reactions.items()]
        parts.append(_table(rows, ["reaction", "function", "fields"]))
    if model.placements:
        kinds = {}
        for item in model.placements:
            kinds[item.kind] = kinds.get(item.kind, 0) + 1
        parts.append(f"<p>placements: {html.escape(', '.join(f'{n} {k}' for k, n in kinds.items()))}</p>")
    return "\n".join(parts)


def recording_html(rec):
    """An HTML summary of a recording: what it holds and, with matplotlib, its last frame.

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp()) / "r"; morva.Model((8, 8)).build().record(d).close()
    >>> "frames" in recording_html(morva.open_recording(d))
    True
    """
    info = rec.info
    rows = [
        ["folder", str(rec.directory)],
        ["frames", f"{len(rec)} every {info['every']} MCS" + (f", MCS {rec.times[0]} to {rec.times[-1]}"
                                                             if len(rec) else "")],
        ["cell types", ", ".join(rec.type_names[1:]) or "none"],
        ["fields", ", ".join(info.get("fields", [])) or "none"],
        *([["activity", "the Act model's activity in every frame"]] if info.get("activity") else []),
        ["seed", info["seed"]],
        ["checkpoint", "none" if info.get("checkpoint_mcs") is None else f"MCS {info['checkpoint_mcs']}"],
        ["divisions", len(rec.lineage)],
    ]
    parts = ["<p><b>Recording</b></p>", _table(rows)]
    if len(rec) and _frame_png is not None:
        try:
            png = _frame_png(rec)
        except ImportError:  # no viz extra: the table alone
            png = None
        if png is not None:
            parts.append(f"<img src='data:image/png;base64,{base64.b64encode(png).decode()}'/>")
    return "\n".join(parts)
