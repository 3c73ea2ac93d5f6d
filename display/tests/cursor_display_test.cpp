// The display channel as the cursor channel's display in client mouse mode: one client's display and cursor
// channels, linked by the display's attach response and unlinked by its detach response or when the display
// goes, with the references each holds on the shapes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/cursor_display_session.h"

using namespace cursor_display;

namespace {

// Display A is the client's; display B, of the same id, is outside its list and can go on its own. After the
// steps, the references on shapes 1 and 2: the cache's and the current slot's, plus one per display holding
// the shape.
TEST(CursorDisplayTest, AttachDetachAndReferences) {
    struct Case {
        const char* what;
        std::vector<std::string> steps;
        int refs1, refs2;
    };
    const Case cases[] = {
        {"attach hands over the visible shape", {"shape 1", "attach A"}, 3, -1},
        {"a new shape releases the former", {"attach A", "shape 1", "shape 2"}, 1, 3},
        {"a hidden shape stays held", {"attach A", "shape 1", "hide"}, 3, -1},
        {"detach stops the hand-over", {"attach A", "shape 1", "detach A", "shape 2"}, 2, 2},
        {"the first display is kept", {"attach B", "attach A", "shape 1", "detach A", "shape 2"}, 1, 3},
        {"a display that goes unlinks itself", {"attach B", "shape 1", "drop B", "attach A"}, 3, -1},
        {"then the next one gets the shapes", {"attach B", "shape 1", "drop B", "attach A", "shape 2"}, 1, 3},
        {"the same shape again keeps one reference", {"attach A", "shape 1", "move", "attach A"}, 3, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Session session;
        IdleDisplay* a = session.displays.made;
        ASSERT_NE(a, nullptr);
        ASSERT_NE(session.cursors.made, nullptr);
        std::unique_ptr<IdleDisplay> b(
            new IdleDisplay(session.client, 0, session.app, session.displays.images));
        for (const std::string& step : c.steps) {
            IdleDisplay* display = step.back() == 'A' ? a : b.get();
            if (step == "shape 1" || step == "shape 2") {
                session.set_shape(step.back() - '0');
            } else if (step == "hide") {
                session.message(SPICE_MSG_CURSOR_HIDE);
            } else if (step == "move") {
                session.move(60, 50);
            } else if (step.rfind("attach", 0) == 0) {
                display->attach_channels();
            } else if (step.rfind("detach", 0) == 0) {
                display->detach_channels();
            } else if (step == "drop B") {
                b.reset();
                session.app.run_events();
            }
        }
        EXPECT_EQ(session.refs(1), c.refs1);
        EXPECT_EQ(session.refs(2), c.refs2);
    }
}

}  // namespace
