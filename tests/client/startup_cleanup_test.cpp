// lumar's start-up puts back what a killed session left before it shows its window.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "client_test_support.h"
#include "host_journal.h"

namespace {

TEST(StartupCleanupTest, WhatAKilledSessionLeftIsPutBackWhenTheProgramStarts) {
    // A journal of an ended session of this namespace; its one change cannot touch the host:
    // the metric of an interface that does not exist.
    QTemporaryDir journals;
    ASSERT_TRUE(journals.isValid());
    host_change change;
    change.kind = host_change_kind::interface_metric;
    change.metric_before.interface_id = 2147483000;
    const QString journal = journals.path() + QStringLiteral("/session-ended.journal");
    {
        QFile file(journal);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const std::string text =
            journal_header_line(current_host_identity()) + journal_record_line(1, change);
        file.write(text.data(), static_cast<qint64>(text.size()));
    }
    ASSERT_EQ(chmod(QFile::encodeName(journal).constData(), 0600), 0);

    client_test::ProgramCopy copy;
    QProcess lumar;
    QProcessEnvironment env;
    env.insert(QStringLiteral("QUARNEL_JOURNAL_DIR"), journals.path());
    env.insert(QStringLiteral("LUMAR_LOG_LEVEL"), QStringLiteral("0"));
    copy.start(lumar, {}, env);
    EXPECT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar")))
        << lumar.readAllStandardError().toStdString();
    EXPECT_FALSE(QFile::exists(journal));
    EXPECT_TRUE(client_test::waitFor([&] {
        return client_test::readText(copy.file(QStringLiteral("Corvel.log")))
            .contains(QStringLiteral("Put back 1 host changes left by an ended session."));
    })) << client_test::readText(copy.file(QStringLiteral("Corvel.log"))).toStdString();
    lumar.terminate();
    if (!lumar.waitForFinished(15000)) {
        lumar.kill();
        lumar.waitForFinished(5000);
    }
}

}  // namespace
