// The order offered when Join finds pictures the wrong way round.
#include "app/set_editing.h"

#include <gtest/gtest.h>

namespace vistarium::app {
namespace {

TEST(OrderTurningReversed, TurnsEachRunOfReversedConnectionsRound) {
  using Order = std::vector<int>;
  EXPECT_EQ(OrderTurningReversed(4, false, {false, false, false}), (Order{0, 1, 2, 3}));
  EXPECT_EQ(OrderTurningReversed(4, false, {false, false, true}), (Order{0, 1, 3, 2}));
  EXPECT_EQ(OrderTurningReversed(5, false, {true, false, false, true}), (Order{1, 0, 2, 4, 3}));
  EXPECT_EQ(OrderTurningReversed(4, false, {true, true, true}), (Order{3, 2, 1, 0}));
  // A circle read backwards is turned round as a whole; its closing
  // connection alone changes nothing.
  EXPECT_EQ(OrderTurningReversed(4, true, {true, true, true, true}), (Order{3, 2, 1, 0}));
  EXPECT_EQ(OrderTurningReversed(4, true, {false, false, false, true}), (Order{0, 1, 2, 3}));
  EXPECT_EQ(ReorderQuestion({0, 1, 3, 2}),
            "Some pictures seem to be out of order: picture 4 belongs in place 3.\n"
            "Put the pictures in the order 1, 2, 4, 3 and join them again?");
}

}  // namespace
}  // namespace vistarium::app
