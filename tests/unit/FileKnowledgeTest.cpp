// Hunts faults in what the save tells this process's watchers: a save recorded as finished
// before its swap (the watcher would take the old content for another program's), a save that
// began before the watcher was made and is then unknown to it, a failed save taken for landed,
// and own values that list keys an update did not change.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigKeys.h>
#include "config/FileKnowledge.h"
#include "platform/testing/FaultInjection.h"
#include "tests/support/TestSupport.h"

namespace tarvik::driver::detail {
namespace {

using platform::testing::Operation;

class FileKnowledgeTest : public testsupport::ScratchTest {
protected:
    std::filesystem::path path() const { return dir_ / "config.json"; }
};

TEST_F(FileKnowledgeTest, SaveIsInProgressUntilItReturnsAndLandedOnlyOnceSwapped) {
    WatchLedger ledger(path());
    Config saved;
    saved.detection.fftSize = 4096;
    LedgerSnapshot duringSwap;
    platform::testing::runBeforeNext(Operation::MoveIntoPlace,
                                     [&] { duringSwap = ledger.snapshot(); });
    ASSERT_TRUE(saveConfigJson(path(), saved));
    ASSERT_EQ(duringSwap.saves.size(), 1U);
    EXPECT_FALSE(duringSwap.saves[0].finished());
    EXPECT_TRUE(duringSwap.saves[0].holds(testsupport::readFile(path())));

    LedgerSnapshot after = ledger.snapshot();
    ASSERT_EQ(after.saves.size(), 1U);
    EXPECT_TRUE(after.saves[0].finished());
    EXPECT_LE(after.saves[0].finishedAt, after.finishedUpTo);
    EXPECT_TRUE(after.saves[0].landed);
    ASSERT_TRUE(after.saves[0].written.has_value());
    EXPECT_EQ(after.saves[0].written->detection.fftSize, 4096);

    // A swap that fails: finished, not landed, and nothing for the taking side.
    (void)ledger.takeOwnChanges();
    ledger.accountFor({after.saves[0].generation});
    {
        platform::testing::ScopedFault refused(Operation::Replace,
                                               static_cast<platform::ErrorCode>(EACCES));
        ASSERT_FALSE(saveConfigJson(path(), Config{}));
    }
    after = ledger.snapshot();
    ASSERT_EQ(after.saves.size(), 1U);
    EXPECT_TRUE(after.saves[0].finished());
    EXPECT_FALSE(after.saves[0].landed);
    EXPECT_TRUE(ledger.takeOwnChanges().values.empty());
}

TEST_F(FileKnowledgeTest, SaveBegunBeforeTheWatcherIsKnownToIt) {
    const std::string text = "{}";
    std::optional<WatchLedger> ledger;
    {
        const OwnSaveRecord before(path(), text, nullptr, nullptr);  // finished before
    }
    {
        OwnSaveRecord inProgress(dir_ / "." / "config.json", text, nullptr, nullptr);
        ledger.emplace(path());  // another spelling of the same file meets it
        ASSERT_EQ(ledger->snapshot().saves.size(), 1U);
        inProgress.landed();
    }
    const LedgerSnapshot snapshot = ledger->snapshot();
    ASSERT_EQ(snapshot.saves.size(), 1U);
    EXPECT_TRUE(snapshot.saves[0].finished());
    EXPECT_TRUE(snapshot.saves[0].landed);
}

TEST_F(FileKnowledgeTest, OwnValuesAreTheKeysAnUpdateChangedAndEveryKeyOfASave) {
    WatchLedger ledger(path());
    Config base;
    base.audio.deviceId = L"tray";  // taken in from the file, not the caller's change
    Config written = base;
    written.detection.sensitivity = 0.25f;
    {
        const std::string text = "{}";  // outlives the record, as a save's text does
        OwnSaveRecord update(path(), text, &base, &written);
        update.landed();
    }
    WatchLedger::OwnChanges changes = ledger.takeOwnChanges();
    ASSERT_EQ(changes.values.size(), 1U);
    EXPECT_EQ(changes.values[0].first, "detection.sensitivity");
    EXPECT_EQ(nlohmann::json::parse(changes.values[0].second), nlohmann::json(0.25f));
    ASSERT_TRUE(changes.lastLanded.has_value());
    EXPECT_EQ(changes.lastLanded->written.audio.deviceId, L"tray");
    EXPECT_TRUE(ledger.takeOwnChanges().values.empty());  // taken once

    {
        const std::string text = "{}";
        OwnSaveRecord save(path(), text, nullptr, &written);
        save.landed();
    }
    EXPECT_EQ(ledger.takeOwnChanges().values.size(), kConfigKeys.size());
}

}  // namespace
}  // namespace tarvik::driver::detail
