"""What the tissue pictures draw: colours at known places, borders where cells meet, the medium plain."""

import numpy as np
import pytest

from morva.viz import (
    BORDER_COLOUR,
    MEDIUM_COLOUR,
    MISSING_COLOUR,
    border_mask,
    figure_png,
    figure_rgb,
    plot_slices,
    plot_tissue,
    tissue_rgb,
    type_colours,
)

TYPES = np.array([0, 1, 2])


def two_cells():
    """A 20 x 12 plane: cell 1 (type 1) at x 2..9, cell 2 (type 2) at x 10..17, both at y 3..8."""
    labels = np.zeros((12, 20), np.uint32)
    labels[3:9, 2:10] = 1
    labels[3:9, 10:18] = 2
    return labels


def pixel(fig, rgb, ax, x, y):
    """Colour (0..1) of the rendered figure at lattice point (x, y) of `ax`."""
    px, py = ax.transData.transform((x, y))
    return rgb[rgb.shape[0] - 1 - int(round(py)), int(round(px))] / 255.0


def test_two_cell_picture_has_type_colours_medium_and_borders_where_cells_meet():
    fig = plot_tissue(two_cells(), TYPES, type_names=["medium", "a", "b"])
    rgb = figure_rgb(fig, dpi=100)
    ax = fig.axes[0]
    colours = type_colours(3)
    np.testing.assert_allclose(pixel(fig, rgb, ax, 5.5, 5.5), colours[1], atol=0.02)
    np.testing.assert_allclose(pixel(fig, rgb, ax, 14.5, 5.5), colours[2], atol=0.02)
    np.testing.assert_allclose(pixel(fig, rgb, ax, 5.5, 10.5), MEDIUM_COLOUR, atol=0.02)
    # The boundary between the cells (x = 10) and a cell's edge on the medium are dark lines ...
    for x, y in [(10.0, 5.5), (10.0, 7.5), (2.0, 5.5), (14.5, 9.0)]:
        assert pixel(fig, rgb, ax, x, y).max() < 0.35, (x, y)
    # ... but the same x in the medium, away from cells, has no line.
    np.testing.assert_allclose(pixel(fig, rgb, ax, 10.0, 1.0), MEDIUM_COLOUR, atol=0.02)
    legend = [t.get_text() for t in fig.legends[0].get_texts()]
    assert legend == ["medium", "a", "b"]


def test_raster_colours_each_site_by_type_and_marks_both_sides_of_each_boundary():
    labels = two_cells()
    rgb = tissue_rgb(labels, TYPES, scale=6)
    mask = border_mask(labels, 6)
    assert rgb.shape == (72, 120, 3)
    assert (rgb[mask] == BORDER_COLOUR).all()
    # Boundary between cell 1 (ends at x = 9) and cell 2 (starts at x = 10): last pixel column of
    # site 9 and first of site 10, only along the rows of the cells.
    assert mask[3 * 6:9 * 6, 59].all() and mask[3 * 6:9 * 6, 60].all()
    assert not mask[3 * 6 + 2:9 * 6 - 2, 58].any() and not mask[:3 * 6 - 1, 59:61].any()
    inside = ~mask & (np.repeat(np.repeat(labels, 6, 0), 6, 1)[..., None] == np.arange(3)).transpose(2, 0, 1)
    for t in range(3):
        assert (rgb[inside[t]] == type_colours(3)[t]).all()


def test_single_site_scale_marks_one_side_so_small_cells_keep_their_colour():
    labels = np.array([[1, 1, 2, 2]], np.uint32)
    assert border_mask(labels, 1).tolist() == [[False, True, False, False]]


def test_value_colouring_uses_the_colour_map_with_medium_plain_and_missing_grey():
    import matplotlib

    labels = np.array([[0, 1, 2, 3]], np.uint32)
    rgb = tissue_rgb(labels, [0, 1, 1, 1], values=[5.0, 10.0, 20.0, np.nan], borders=False)
    viridis = matplotlib.colormaps["viridis"]
    np.testing.assert_allclose(rgb[0, 0], MEDIUM_COLOUR)
    np.testing.assert_allclose(rgb[0, 1], viridis(0.0)[:3])
    np.testing.assert_allclose(rgb[0, 2], viridis(1.0)[:3])
    np.testing.assert_allclose(rgb[0, 3], MISSING_COLOUR)
    fig = plot_tissue(labels, [0, 1, 1, 1], values=[0.0, 10.0, 20.0, np.nan], value_label="volume")
    assert any(a.get_ylabel() == "volume" for a in fig.axes)  # the colour bar
    assert not fig.legends


def test_field_overlay_shows_the_field_in_the_medium_and_tints_cells():
    import matplotlib

    labels = np.array([[0, 0, 1, 1]], np.uint32)
    field = np.array([[0.0, 1.0, 0.0, 1.0]])
    rgb = tissue_rgb(labels, [0, 1], field=field, borders=False)
    magma = matplotlib.colormaps["magma"]
    np.testing.assert_allclose(rgb[0, 0], magma(0.0)[:3])
    np.testing.assert_allclose(rgb[0, 1], magma(1.0)[:3])
    # A cell over a high and a low field value: same cell, different tint.
    assert not np.allclose(rgb[0, 2], rgb[0, 3])
    fig = plot_tissue(labels, [0, 1], field=field, field_name="signal", field_mode="beside")
    assert sum(a.get_ylabel() == "signal" for a in fig.axes) == 1
    assert len([a for a in fig.axes if a.images]) == 2


def test_three_d_world_is_drawn_as_three_orthogonal_slices_through_the_chosen_site():
    labels = np.zeros((6, 8, 10), np.uint32)
    labels[1:5, 2:6, 1:5] = 1
    labels[1:5, 2:6, 5:9] = 2
    fig = plot_tissue(labels, TYPES)
    assert [a.get_title() for a in fig.axes[:3]] == ["xy at z = 3", "xz at y = 4", "yz at x = 5"]
    fig = plot_slices(labels, TYPES, at=(2, 3, 1))
    xy, xz, yz = fig.axes[:3]
    # The yz slice at x = 2 cuts cell 1 only: its picture holds type 1's colour and never type 2's.
    picture = yz.images[0].get_array()
    assert np.isclose(picture, type_colours(3)[1]).all(axis=-1).any()
    assert not np.isclose(picture, type_colours(3)[2]).all(axis=-1).any()
    with pytest.raises(ValueError, match="inside the box"):
        plot_slices(labels, TYPES, at=(10, 0, 0))


def test_step_counter_and_png_bytes():
    fig = plot_tissue(two_cells(), TYPES, mcs=1200, title="sorting")
    assert "MCS 1200" in [t.get_text() for t in fig.axes[0].texts]
    assert figure_png(fig).startswith(b"\x89PNG")


@pytest.mark.parametrize(
    "labels, cell_type, kwargs, message",
    [
        (np.zeros(5, np.uint32), [0], {}, "2-D plane"),
        (np.full((3, 3), 4, np.uint32), [0, 1], {}, "labels go up to 4"),
        (np.zeros((3, 3), np.uint32), [0.0, 1.0], {}, "integer"),
        (np.zeros((3, 3), np.uint32), [0], {"field": np.zeros((2, 3))}, "field has shape"),
        (np.zeros((3, 3), np.uint32), [0], {"field_mode": "under"}, "field_mode"),
        (np.ones((3, 3), np.uint32), [0, 1], {"values": [1.0]}, "indexed by cell id"),
    ],
)
def test_bad_input_is_refused_with_a_message_naming_it(labels, cell_type, kwargs, message):
    with pytest.raises(ValueError, match=message):
        plot_tissue(labels, cell_type, **kwargs)


def test_a_figure_redrawn_with_another_tissue_equals_that_tissue_drawn_afresh():
    first = np.zeros((6, 8, 10), np.uint32)
    first[1:5, 2:6, 1:5], first[1:5, 2:6, 5:9] = 1, 2
    second = np.roll(first, 2, axis=2)
    fig = plot_tissue(first, TYPES, type_names=["medium", "a", "b"], mcs=0)
    figure_rgb(fig, dpi=50)
    fig.set_layout_engine("none")
    fig._morva_redraw(second, TYPES, mcs=10)
    fresh = plot_tissue(second, TYPES, type_names=["medium", "a", "b"], mcs=10)
    np.testing.assert_array_equal(figure_rgb(fig, dpi=50), figure_rgb(fresh, dpi=50))
