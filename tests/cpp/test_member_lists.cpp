// The member lists (members.hpp) are what the checkpoint, the state size and the world's equality
// walk, so these tests hold the lists to the structs: every member is listed, and every listed member
// reaches the checkpoint's bytes and the equality check.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "checkpoint.hpp"
#include "helpers.hpp"
#include "state_size.hpp"

namespace morva::testing {
namespace {

template <class T>
std::size_t listed() {
    return listed_members(T{});
}

TEST(MemberLists, NameEveryMemberOfEveryUnit) {
    const WorldData world;
    WorldData::for_each_term(
        [](const char* name, Scope, const auto& unit) {
            using U = std::remove_cvref_t<decltype(unit)>;
            EXPECT_EQ(aggregate_arity<U>(), listed<U>()) << name;
        },
        world);
    EXPECT_EQ(aggregate_arity<WorldOptions>(), listed<WorldOptions>());
    EXPECT_EQ(aggregate_arity<WorldData>(), listed<WorldData>());
    // A cell record lists its trackers' members as its own (the base counts once in the arity).
    EXPECT_EQ(aggregate_arity<Cell>() - 1 + aggregate_arity<Trackers>(), listed<Cell>());
    std::size_t work_space = 0;
    const Field field;
    Field::work_space([&work_space](const char*, Scope, const auto&) { ++work_space; }, field);
    EXPECT_EQ(aggregate_arity<Field>(), listed<Field>() + work_space);
}

// Every optional term, two fields and an option set, in a small set-up world.
World every_member_world() {
    World w = random_world({7, 6, 3}, Boundary::Periodic, 3, 5, 11, 0.2);
    ContactMatrix j = ContactMatrix::make(4);
    j.set(1, 2, 3.5);
    j.set(2, 1, 3.5);
    w.set_contact_matrix(std::move(j));
    w.temperature = 5.0;
    const std::size_t f = w.add_field("signal", 0.1, 0.02);
    w.add_field("other", 0.05, 0.01);
    w.set_field_dynamics(f, 0.5, 2);
    w.set_secretion(f, 1, 1.5);
    w.set_cell_secretion_scale(f, 4, 0.5);
    w.set_chemotaxis_occupancy(1, 3, -10.0, 0.5, 2.0, 1.5);
    w.set_connectivity(1, true);
    w.set_junction_lambda(1.5);
    w.set_junction(2, true);
    w.set_membrane({0, 5, 77}, 0.4, 1.0);
    w.set_membrane_anchored(3, true);
    w.set_external_potential(1, 0.3, 0.0, -0.2);
    w.set_length_constraint(2, 4.0, 0.3);
    w.set_act(2, 1.5, 4);
    w.set_persistence(1, 2.0, 3, 0.5);
    w.set_direction(2, 0.0, 1.0, 0.0);
    w.set_cell_force(3, 1.0, 0.5, 0.0);
    w.options.com_force = true;
    return w;
}

// Changes a member so that it differs from its old value in every stored form.
template <class T>
void change(T& v) {
    if constexpr (std::is_same_v<T, bool>) v = !v;
    else if constexpr (std::is_arithmetic_v<T>) v = static_cast<T>(v + 1);
    else if constexpr (std::is_same_v<T, std::string>) v += "x";
    else if constexpr (std::is_same_v<T, Lattice>) v.labels[0] = v.labels[0] == 1 ? 2 : 1;
    else if constexpr (std::is_same_v<T, ContactMatrix>) v.set(1, 1, v.at(1, 1) + 1.0);
    else if constexpr (is_vector<T>::value) v.emplace_back();
    else v.emplace(1000, 2.0);  // a map of per-cell values
}

// Calls f(name, member) for the i-th leaf member of the world (units and tables of units opened),
// returning false when there are fewer leaves.
template <class F>
bool at_leaf(WorldData& w, std::size_t i, F&& f) {
    std::size_t n = 0;
    bool found = false;
    const auto visit = [&](const auto& self, const char* name, auto& m) -> void {
        using M = std::remove_cvref_t<decltype(m)>;
        if constexpr (Unit<M>) {
            M::members([&](const char* inner, Scope, auto& x) { self(self, inner, x); }, m);
        } else if constexpr (is_unit_table<M>) {
            for (auto& e : m) self(self, name, e);
        } else if (n++ == i) {
            f(name, m);
            found = true;
        }
    };
    WorldData::members([&](const char* name, Scope, auto& m) { visit(visit, name, m); }, w);
    return found;
}

std::vector<std::uint8_t> saved(const World& w) { return write_checkpoint({w, nullptr, {}}); }

TEST(MemberLists, EveryListedMemberReachesTheCheckpointAndTheEquality) {
    const World original = every_member_world();
    const std::vector<std::uint8_t> bytes = saved(original);
    Session loaded = read_checkpoint(bytes);
    EXPECT_TRUE(same_state(original, loaded.world));
    EXPECT_EQ(saved(loaded.world), bytes);

    std::size_t leaves = 0;
    for (;; ++leaves) {
        World w = every_member_world();
        std::string name;
        if (!at_leaf(w, leaves, [&name](const char* what, auto& m) {
                name = what;
                change(m);
            }))
            break;
        EXPECT_NE(saved(w), bytes) << "member " << leaves << " (" << name << ") is not saved";
        EXPECT_FALSE(same_state(original, w)) << "member " << leaves << " (" << name << ") is not compared";
    }
    // The lattice, the contact table, the temperature and the surface flag; 23 term members, 3 options,
    // 17 per cell record, 12 per field.
    EXPECT_EQ(leaves, 4 + 23 + 3 + 17 * original.cells.size() + 12 * 2);
}

TEST(MemberLists, StateSizeCountsTheListedTables) {
    Morva m = Morva::make(every_member_world(), 3);
    const std::size_t before = state_bytes(m);
    m.world.membrane.distance.reserve(m.world.membrane.distance.capacity() + 100);
    EXPECT_EQ(state_bytes(m), before + 100 * sizeof(float));
    m.world.fields[1].occupancy_kd.reserve(m.world.fields[1].occupancy_kd.capacity() + 10);
    EXPECT_EQ(state_bytes(m), before + 100 * sizeof(float) + 10 * sizeof(double));
}

}  // namespace
}  // namespace morva::testing
