"""Type colours follow type names: one colour map gives a type the same colour in every model."""

import numpy as np
import pytest
from matplotlib.colors import to_rgb

import morva
import morva.viz as viz
from morva.viz import MEDIUM_COLOUR, figure_rgb, plot_tissue, tissue_rgb, type_colours

# Two models that list the same types in opposite orders.
ORDERS = (["medium", "dark", "light"], ["medium", "light", "dark"])
COLOURS = {"dark": "tab:red", "light": "#1f77b4", "absent": "yellow"}


def cell_of_each_type(names):
    """A 10 x 20 plane: cell 1 of type 1 on the left, cell 2 of type 2 on the right; ids by name."""
    labels = np.zeros((10, 20), np.uint32)
    labels[2:8, 2:9], labels[2:8, 11:18] = 1, 2
    return labels, np.array([0, 1, 2]), {names[1]: (5, 5), names[2]: (5, 14)}


def legend_colours(fig):
    legend = fig.legends[0]
    return {t.get_text(): np.array(p.get_facecolor()[:3]) for t, p in zip(legend.get_texts(), legend.get_patches())}


def test_a_colour_map_colours_each_type_by_its_name_whatever_its_id():
    for names in ORDERS:
        colours = type_colours(names, COLOURS)
        for type_id, type_name in enumerate(names[1:], start=1):
            np.testing.assert_allclose(colours[type_id], to_rgb(COLOURS[type_name]))
        np.testing.assert_allclose(colours[0], MEDIUM_COLOUR)


def test_without_a_map_types_take_the_palette_in_name_order_and_the_medium_is_the_background():
    names = ["medium"] + [f"t{i}" for i in range(9)]  # more types than palette colours
    colours = type_colours(names)
    np.testing.assert_allclose(colours, type_colours(len(names)))
    np.testing.assert_allclose(colours[0], MEDIUM_COLOUR)
    assert not np.isclose(colours[1:], MEDIUM_COLOUR).all(axis=1).any()
    assert len({tuple(c) for c in colours[1:8]}) == 7


def test_types_the_map_leaves_out_avoid_the_colours_it_uses():
    palette = type_colours(4)
    colours = type_colours(["medium", "a", "b", "c"], {"b": palette[1]})
    np.testing.assert_allclose(colours[2], palette[1])
    others = [colours[1], colours[3]]
    assert not any(np.allclose(c, palette[1]) for c in others)
    assert not np.allclose(others[0], others[1])


def test_pictures_and_legends_of_two_models_agree_on_each_type_by_name():
    seen = {}
    for names in ORDERS:
        labels, cell_type, where = cell_of_each_type(names)
        rgb = tissue_rgb(labels, cell_type, type_names=names, colours=COLOURS)
        fig = plot_tissue(labels, cell_type, type_names=names, colours=COLOURS)
        rendered = figure_rgb(fig, dpi=80) / 255.0
        ax = fig.axes[0]
        legend = legend_colours(fig)
        for type_name, (y, x) in where.items():
            np.testing.assert_allclose(rgb[y, x], to_rgb(COLOURS[type_name]))
            np.testing.assert_allclose(legend[type_name], to_rgb(COLOURS[type_name]))
            px, py = ax.transData.transform((x + 0.5, y + 0.5))
            pixel = rendered[rendered.shape[0] - 1 - int(round(py)), int(round(px))]
            np.testing.assert_allclose(pixel, to_rgb(COLOURS[type_name]), atol=0.02)
            seen.setdefault(type_name, []).append(tuple(rgb[y, x]))
        np.testing.assert_allclose(rgb[0, 0], MEDIUM_COLOUR)
    assert all(len(set(v)) == 1 for v in seen.values())


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """Two short recordings of the same tissue whose models list dark and light in opposite orders."""
    found = []
    for names in ORDERS:
        model = morva.Model((20, 20), temperature=8, default_contact=0)
        for type_name in names[1:]:
            model.add_type(type_name, volume=25, lambda_volume=1)
        for a, b, energy in [("medium", "dark", 16), ("medium", "light", 16), ("dark", "dark", 6),
                             ("light", "light", 12), ("dark", "light", 11)]:
            model.set_contact(a, b, energy)
        model.add_tiling(["dark", "light"], (5, 5), (15, 15), 5)
        sim = model.build(seed=2)
        directory = tmp_path_factory.mktemp("colours") / "run"
        sim.record(directory, every=5)
        sim.run(10, progress=False)
        sim.recorder.close()
        found.append(morva.open_recording(directory))
    return found


def test_strips_and_run_plots_follow_the_names_of_a_recording(recordings):
    for rec in recordings:
        strip = viz.frame_strip(rec, n=2, colours=COLOURS)
        legend = legend_colours(strip)
        run = viz.plot_run(rec, colours=COLOURS)
        lines = {line.get_label(): np.array(to_rgb(line.get_color())) for line in run.axes[0].get_lines()}
        for type_name in ("dark", "light"):
            np.testing.assert_allclose(legend[type_name], to_rgb(COLOURS[type_name]))
            np.testing.assert_allclose(lines[type_name], to_rgb(COLOURS[type_name]))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: type_colours(3, {"dark": "red"}), "needs the type names"),
        (lambda: type_colours(["medium", "dark"], {"dark": "no such colour"}), "'dark' is not a colour"),
        (lambda: type_colours(["medium", "dark"], [[1, 0, 0]]), "RGB row for each of the 2"),
        (lambda: tissue_rgb(np.ones((2, 2), np.uint32), [0, 2], type_names=["medium", "a"]), "type_names has only 2"),
        (lambda: tissue_rgb(np.ones((2, 2), np.uint32), [0, 1], colours={"a": "red"}), "need type_names"),
    ],
)
def test_unusable_colours_are_refused_naming_what_is_wrong(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_colours_a_model_declares_are_kept_in_its_file_and_used_by_every_picture(tmp_path):
    declared = {"dark": "#2f4b7c", "light": "khaki"}
    model = morva.Model((20, 20), temperature=8, default_contact=8)
    model.add_type("light", volume=25, lambda_volume=1, colour=declared["light"])
    model.add_type("dark", volume=25, lambda_volume=1, colour=declared["dark"])
    model.add_tiling(["dark", "light"], (5, 5), (15, 15), 5)
    model.save(tmp_path / "m.toml")
    assert 'colour = "khaki"' in (tmp_path / "m.toml").read_text()
    model = morva.load_model(tmp_path / "m.toml")
    assert model.type_colours == declared
    sim = model.build(seed=2)
    expected = {name: to_rgb(colour) for name, colour in declared.items()}

    def check(colours):
        for type_name, rgb in expected.items():
            np.testing.assert_allclose(colours[type_name], rgb)

    check(legend_colours(plot_tissue(**viz.simulation_picture_args(sim))))
    sim.record(tmp_path / "run", every=5)
    sim.run(10, progress=False)
    sim.recorder.close()
    rec = morva.open_recording(tmp_path / "run")
    check(legend_colours(plot_tissue(**viz.frame_picture_args(rec, -1))))
    check(legend_colours(viz.frame_strip(rec, n=2)))
    run = viz.plot_run(rec)
    check({line.get_label(): to_rgb(line.get_color()) for line in run.axes[0].get_lines()})  # cell counts
    frame = next(viz.render_frames(rec, dpi=60))  # movies draw through the same picture arguments
    assert (np.abs(frame / 255.0 - to_rgb(declared["dark"])).sum(axis=2) < 0.05).any()
    override = {"dark": "tab:red"}
    picked = legend_colours(plot_tissue(**viz.frame_picture_args(rec, -1), colours=override))
    np.testing.assert_allclose(picked["dark"], to_rgb("tab:red"))
    np.testing.assert_allclose(picked["light"], to_rgb("khaki"))


def test_axis_labels_of_a_tissue_picture_are_inside_the_figure():
    labels, cell_type, _ = cell_of_each_type(ORDERS[0])
    square = np.zeros((200, 200), np.uint32)
    square[20:100, 20:100], square[100:180, 100:180] = 1, 2
    for picture in (plot_tissue(square, cell_type, type_names=ORDERS[0]),
                    plot_tissue(labels, cell_type, type_names=ORDERS[0], title="t")):
        figure_rgb(picture, dpi=80)
        renderer = picture.canvas.get_renderer()
        for ax in picture.axes:
            for label in (ax.xaxis.label, ax.yaxis.label):
                box = label.get_window_extent(renderer)
                assert box.x0 >= 0 and box.y0 >= 0 and box.x1 <= picture.bbox.x1 and box.y1 <= picture.bbox.y1
