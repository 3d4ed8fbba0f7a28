// The schedule page, made as its sheet makes it but hidden: no user is needed.
#include "ui/wizard_pages.h"

#include <gtest/gtest.h>

#include <optional>

#include "test_support.h"
#include "ui/page_support.h"

namespace {

// Each radio stands for its choice: the page opens with the set choice's radio checked, and
// Finish hands on the one the user checked. Every choice is opened on once and chosen once,
// never both on the same page, so that a page that ignores the radios is caught too.
TEST(SchedulerPage, EachRadioStandsForItsChoice) {
    TestRun run;
    const struct {
        int opened, chosen;
    } rows[] = {{0, 2}, {1, 3}, {2, 1}, {3, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "opened on " << row.opened << ", " << row.chosen << " chosen");
        std::optional<int> handed;
        HWND handedPage = nullptr;
        SchedulerPage scheduler(run.run, [&](HWND page, int choice) {
            handedPage = page;
            handed = choice;
        });
        scheduler.Preselect(row.opened, L"");
        const Page made = MakePage(scheduler.Record());
        HWND page = made.page.get();
        ASSERT_TRUE(page);
        for (int choice = 0; choice < 4; ++choice) {
            EXPECT_EQ(IsDlgButtonChecked(page, SchedulerPage::kChoiceIds[choice]) == BST_CHECKED, choice == row.opened)
                << "radio " << choice << " as the page opens";
        }
        // As the user's click: the radio checks itself and clears the others of its group.
        SendDlgItemMessageW(page, SchedulerPage::kChoiceIds[row.chosen], BM_CLICK, 0, 0);
        PSHNOTIFY finish{{made.parent.get(), 0, static_cast<UINT>(PSN_WIZFINISH)}, 0};
        SendMessageW(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&finish));
        EXPECT_EQ(handed, row.chosen);
        EXPECT_EQ(handedPage, page);
    }
}

}  // namespace
