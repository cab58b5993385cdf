// Artwork, fonts and meta-types the process sets up at start.

#include "app/AppSetup.h"

#include "scan/SFragmentFit.h"
#include "scan/SSchedule.h"

#include <QApplication>
#include <QDirIterator>
#include <QIcon>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

namespace {

// Every ":/images/..." path written in the product's sources, with "%1" filled
// the way the code fills it.
QSet<QString> imagePathsInSources()
{
    QSet<QString> found;
    const QRegularExpression re(":/images/[A-Za-z0-9_%]+\\.(png|jpg|ico)");
    for (const char* area : {"app", "player", "export", "scan", "disk", "tools"}) {
        QDirIterator it(QString(CORVO_SOURCE_DIR "/") + area, {"*.cpp", "*.h"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            if (!f.open(QIODevice::ReadOnly))
                continue;
            auto m = re.globalMatch(QString::fromUtf8(f.readAll()));
            while (m.hasNext())
                found.insert(m.next().captured(0).replace("%1", "TKL"));
        }
    }
    return found;
}

} // namespace

TEST(Resources, EveryImagePathInTheSourcesLoads)
{
    corvoInitResources();
    const QSet<QString> paths = imagePathsInSources();
    // The chrome alone names more than ten; far fewer means the scan is broken.
    EXPECT_GE(paths.size(), 10);
    for (const QString& p : paths)
        EXPECT_FALSE(QImage(p).isNull()) << qPrintable(p) << " does not load";
}

TEST(Resources, TheWholeArtworkSetIsThereAtItsSizes)
{
    corvoInitResources();
    const struct {
        const char* name;
        QSize size; // empty: any size (tiles and stretched backgrounds)
    } images[] = {
        {"menu.png", {}},           {"TKLicon.png", {36, 36}},     {"TKLicon.ico", {}},
        {"selectDisk.png", {32, 36}}, {"merge.png", {32, 36}},     {"help.png", {32, 36}},
        {"min.png", {30, 21}},       {"max.png", {30, 21}},        {"close.png", {30, 21}},
        {"bg.png", {}},              {"play_slider.png", {}},      {"status_bg.jpg", {}},
        {"tree_section.png", {}},    {"tree_bg.png", {}},          {"tree_root.png", {30, 39}},
        {"tree_child.png", {30, 39}}, {"start.png", {88, 44}},     {"list_bg.png", {}},
        {"log_list.png", {}},        {"tab_section.png", {}},      {"backward.png", {30, 30}},
        {"play.png", {30, 30}},      {"stop.png", {30, 30}},       {"step.png", {30, 30}},
    };
    for (const auto& img : images) {
        const QImage i(QString(":/images/") + img.name);
        ASSERT_FALSE(i.isNull()) << img.name;
        if (!img.size.isEmpty()) {
            EXPECT_EQ(i.size(), img.size) << img.name;
        }
    }
    // The title strip is as high as the title bar, so it is never stretched.
    EXPECT_EQ(QImage(":/images/menu.png").height(), 50);
}

TEST(Resources, WindowsChineseFamiliesMapOntoAnInstalledCjkFont)
{
    corvoInitApplication();
    const QFontDatabase db;
    for (const char* family : {"SimSun", "宋体", "微软雅黑", "Microsoft YaHei"}) {
        const QString resolved = QFontInfo(QFont(QString::fromUtf8(family))).family();
        EXPECT_TRUE(db.writingSystems(resolved).contains(QFontDatabase::SimplifiedChinese))
            << family << " resolves to " << qPrintable(resolved)
            << ", which has no Chinese (install fonts-wqy-microhei: scripts/deps --gui)";
    }
}

TEST(Resources, QueuedSignalTypesAreRegisteredUnderTheirNames)
{
    corvoInitApplication();
    EXPECT_EQ(QMetaType::type("SFragmentFit"), qMetaTypeId<SFragmentFit>());
    EXPECT_EQ(QMetaType::type("SFragmentFit&"), qMetaTypeId<SFragmentFit>());
    EXPECT_EQ(QMetaType::type("SSchedule"), qMetaTypeId<SSchedule>());
    EXPECT_EQ(QMetaType::type("SPlayListTableItem"), qMetaTypeId<SPlayListTableItem>());
    EXPECT_EQ(QMetaType::type("long long int"), int(QMetaType::LongLong));
    EXPECT_EQ(QMetaType::type("char"), int(QMetaType::Char));
}

TEST(Resources, ApplicationFontIsNinePointAndTheIconLoads)
{
    corvoInitApplication();
    EXPECT_EQ(QApplication::font().pointSize(), 9);
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    EXPECT_FALSE(QApplication::windowIcon().availableSizes().isEmpty());
}
