// What the status and chat lists keep when a peer floods them: the last lines, each
// within its bound and marked where it was cut, and a bounded whole.
#include <gtest/gtest.h>

#include <QListWidget>
#include <string>

#include "app/PacedDisplay.h"
#include "support/windows.h"

namespace keyvane {
namespace {

using test::TestWindow;

TEST(ListBudget, CutsOnlyLongLinesAndLetsTheOldestGo) {
    const std::string normal(ListBudget::kMaxLineChars, 'n');
    EXPECT_EQ(ListBudget::Shown(normal), normal);
    EXPECT_EQ(ListBudget::Shown(""), "");
    const std::string cut = ListBudget::Shown(normal + "x");
    EXPECT_EQ(cut.size(), ListBudget::kMaxLineChars);
    EXPECT_EQ(cut, std::string(ListBudget::kMaxLineChars - 1, 'n') + ListBudget::kEllipsis);

    ListBudget b;
    for (size_t i = 0; i < ListBudget::kMaxLines; ++i) ASSERT_EQ(b.Add(10), 0u);
    EXPECT_EQ(b.Add(10), 1u);
    EXPECT_EQ(b.Lines(), ListBudget::kMaxLines);
    // Long lines push out as many short ones as their characters need.
    constexpr size_t kLong = ListBudget::kMaxLineChars;
    size_t left = 0;
    for (size_t i = 0; i < ListBudget::kMaxListChars / kLong; ++i) left += b.Add(kLong);
    EXPECT_LE(b.Chars(), ListBudget::kMaxListChars);
    EXPECT_EQ(b.Lines() + left, ListBudget::kMaxLines + ListBudget::kMaxListChars / kLong);
    // A line longer than the bound counts as the part that is kept.
    b.Add(size_t{1} << 30);
    EXPECT_LE(b.Chars(), ListBudget::kMaxListChars);
}

TEST(ListBudget, WindowListsKeepTheirLastLinesAndShowACutLineAsCut) {
    TestWindow w;
    // Small bounds: a list lays out every line again for each new one.
    w->SetListBudgets(ListBudget(5), ListBudget(100, 1000));
    auto* status = w.find<QListWidget>("List1");
    for (int i = 1; i <= 8; ++i) w->UpdateList("line " + std::to_string(i));
    ASSERT_EQ(status->count(), 5);
    EXPECT_EQ(status->item(0)->text(), "line 4");
    EXPECT_EQ(status->item(4)->text(), "line 8");

    auto* chat = w.find<QListWidget>("List2");
    w->UpdateChatList("<caf\xE9>");
    EXPECT_EQ(chat->item(0)->text(), QString::fromUtf8("<café>"));
    for (int i = 0; i < 4; ++i) w->UpdateChatList(std::string(300, static_cast<char>('a' + i)));
    ASSERT_EQ(chat->count(), 3);  // 900 characters; the 1000 would be passed
    EXPECT_EQ(chat->item(0)->text(), QString(300, 'b'));
    // A peer's megabyte line shows its start and an ellipsis, and alone is over the
    // list's bound: it stays, the older lines go.
    w->UpdateChatList(std::string(size_t{1} << 20, 'x'));
    ASSERT_EQ(chat->count(), 1);
    const QString shown = chat->item(0)->text();
    EXPECT_EQ(shown.size(), static_cast<qsizetype>(ListBudget::kMaxLineChars));
    EXPECT_TRUE(shown.startsWith("xxxx"));
    EXPECT_EQ(shown.back(), QChar(0x2026));
}

}  // namespace
}  // namespace keyvane
