// Scans continued from a saved point, in memory and through the session
// database, against one uninterrupted scan: same fragments, same serials.
#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"
#include "session/ScanSession.h"
#include "tools/imagegen/ImageGen.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr qint64 MiB = 1048576;
const char* const kPath = "\\\\.\\memdisk";

class RunHere : public CFragmentFit {
public:
    void runHere() { run(); }
};

struct Event {
    int serial = 0; // 0: a checkpoint
    SFragmentFit fragment;
    ScanResumePoint point;
};

// One run on this thread; `onCheckpoint` may stop it.
std::vector<Event> scan(const QByteArray& image, const ScanResumePoint* from, int serialBase,
                        const std::function<void(RunHere&, const ScanResumePoint&)>& onCheckpoint = {})
{
    nyxSetDeviceFactory([image](const QByteArray&) { return std::make_unique<MemoryDevice>(image); });
    std::vector<Event> events;
    RunHere s;
    QObject::connect(&s, &CFragmentFit::TransmitAddFragmentList, &s,
                     [&](SFragmentFit f, int serial) { events.push_back(Event{serial, f, {}}); }, Qt::DirectConnection);
    QObject::connect(&s, &CFragmentFit::TransmitCheckpoint, &s,
                     [&](ScanResumePoint p) {
                         events.push_back(Event{0, {}, p});
                         if (onCheckpoint)
                             onCheckpoint(s, p);
                     },
                     Qt::DirectConnection);
    s.setDevicePath(kPath);
    s.setRange(0, image.size());
    if (from)
        s.setResumePoint(*from);
    s.setCheckpoints(true);
    CFragmentFit::fragmentSerial = serialBase;
    s.runHere();
    nyxSetDeviceFactory({});
    return events;
}

using Row = std::pair<int, SFragmentFit>;

std::vector<Row> fragmentsOf(const std::vector<Event>& events, size_t upTo = SIZE_MAX)
{
    std::vector<Row> rows;
    for (size_t i = 0; i < events.size() && i < upTo; ++i)
        if (events[i].serial)
            rows.emplace_back(events[i].serial, events[i].fragment);
    return rows;
}

void expectSameRows(const std::vector<Row>& want, const std::vector<Row>& got, const std::string& where)
{
    ASSERT_EQ(want.size(), got.size()) << where;
    for (size_t i = 0; i < want.size(); ++i) {
        const SFragmentFit& a = want[i].second;
        const SFragmentFit& b = got[i].second;
        EXPECT_EQ(want[i].first, got[i].first) << where << " row " << i;
        EXPECT_EQ(a.totalBytes, b.totalBytes) << where << " serial " << want[i].first;
        EXPECT_EQ(a.frameCount, b.frameCount) << where << " serial " << want[i].first;
        EXPECT_EQ(a.firstTime, b.firstTime) << where;
        EXPECT_EQ(a.lastTime, b.lastTime) << where;
        EXPECT_EQ(a.stream, b.stream) << where;
        ASSERT_EQ(a.extents->size(), b.extents->size()) << where << " serial " << want[i].first;
        for (int e = 0; e < a.extents->size(); ++e) {
            EXPECT_EQ(a.extents->at(e).start, b.extents->at(e).start) << where << " serial " << want[i].first;
            EXPECT_EQ(a.extents->at(e).end, b.extents->at(e).end) << where << " serial " << want[i].first;
        }
    }
}

void putHeader(QByteArray& image, qint64 at, int length)
{
    QByteArray h(8, '\0');
    imagegen::writeFrameHeader(reinterpret_cast<unsigned char*>(h.data()), length, 1);
    for (int i = 0; i < 8 && at + i < image.size(); ++i)
        image[int(at + i)] = h[i];
}

// Recordings whose frames cross the 2, 4 and 6 MiB steps, one whose header
// starts a few bytes before 4 MiB and one beginning exactly on the 8 MiB step.
QByteArray boundaryImage()
{
    QByteArray image(12 * MiB, '\0');
    auto run = [&](qint64 at, int frames, int length) {
        for (int i = 0; i < frames; ++i, at += length)
            putHeader(image, at, length);
    };
    run(2 * MiB - 3000, 3, 1999);
    run(4 * MiB - 60000, 5, 10000);
    run(4 * MiB - 5, 4, 4099);
    run(6 * MiB - 1, 2, 65535);
    run(8 * MiB, 7, 777);
    return image;
}

struct Image {
    const char* name;
    QByteArray bytes;
};

class ResumeEverywhere : public ::testing::TestWithParam<int> {};

Image imageFor(int which)
{
    switch (which) {
    case 0:
        return {"buffer steps", boundaryImage()};
    default:
        return {"generated", imagegen::generateImageBytes(20 * MiB + 4321 * which, quint64(which), nullptr)};
    }
}

} // namespace

// Continuing from any checkpoint of a scan, with the fragments sent before
// it, gives the scan's own list.
TEST_P(ResumeEverywhere, FromEveryCheckpointEqualsOneScan)
{
    const Image img = imageFor(GetParam());
    const std::vector<Event> whole = scan(img.bytes, nullptr, 0);
    const std::vector<Row> want = fragmentsOf(whole);
    ASSERT_FALSE(want.empty());
    int checkpoints = 0;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (whole[i].serial)
            continue;
        ++checkpoints;
        std::vector<Row> got = fragmentsOf(whole, i);
        const int base = got.empty() ? 0 : got.back().first;
        for (const Row& r : fragmentsOf(scan(img.bytes, &whole[i].point, base)))
            got.push_back(r);
        expectSameRows(want, got, std::string(img.name) + " from " + std::to_string(whole[i].point.position));
    }
    EXPECT_GE(checkpoints, 4); // every 2 MiB step after the first read, and the end
}

// Interrupted at one checkpoint after another, each run kept in the same
// database and continued from what it holds.
TEST_P(ResumeEverywhere, StoppedAgainAndAgainThroughTheSessionEqualsOneScan)
{
    const Image img = imageFor(GetParam());
    const std::vector<Row> want = fragmentsOf(scan(img.bytes, nullptr, 0));
    QTemporaryDir dir;
    const QString file = dir.filePath("s.session");
    QString why;
    SourceIdentity id;
    id.name = "memdisk";
    id.size = img.bytes.size();
    ASSERT_TRUE(ScanSession::create(file, id, 0, img.bytes.size(), &why)) << why.toStdString();
    for (int round = 0; round < 40; ++round) {
        std::unique_ptr<ScanSession> s = ScanSession::open(file, &why);
        ASSERT_TRUE(s) << why.toStdString();
        if (s->info().finished)
            break;
        s->setCommitInterval(0);
        const ScanResumePoint from = s->resumePoint();
        int seen = 0;
        const std::vector<Event> events =
            scan(img.bytes, from.position >= 0 ? &from : nullptr, s->lastSerial(),
                 [&](RunHere& r, const ScanResumePoint&) {
                     if (++seen == 2 + round % 3)
                         r.stop();
                 });
        for (const Event& e : events) {
            if (e.serial)
                s->fragmentSent(e.serial, e.fragment);
            else
                ASSERT_TRUE(s->checkpoint(e.point)) << s->lastError().toStdString();
        }
    }
    std::unique_ptr<ScanSession> s = ScanSession::open(file, &why);
    ASSERT_TRUE(s->info().finished);
    std::vector<Row> got;
    for (const SessionFragment& f : s->closedFragments())
        got.emplace_back(f.serial, f.fragment);
    expectSameRows(want, got, img.name);
}

INSTANTIATE_TEST_SUITE_P(Images, ResumeEverywhere, ::testing::Values(0, 1, 2));

// A source that is not the one the session was kept for is named as such.
TEST(SourceIdentityTest, AChangedSourceIsRecognisedAndSaysHow)
{
    const QByteArray image = imagegen::generateImageBytes(3 * MiB, 7, nullptr);
    auto identify = [](const QByteArray& bytes) {
        nyxSetDeviceFactory([bytes](const QByteArray&) { return std::make_unique<MemoryDevice>(bytes); });
        SourceIdentity id;
        QString why;
        EXPECT_TRUE(identifySource("memdisk", &id, &why)) << why.toStdString();
        nyxSetDeviceFactory({});
        return id;
    };
    const SourceIdentity saved = identify(image);
    EXPECT_EQ(identityDifference(saved, identify(image)), QString());

    QByteArray rewritten = image;
    rewritten[10] = char(rewritten[10] ^ 1);
    SourceIdentity grown = identify(image + QByteArray(512, '\0'));
    SourceIdentity otherDisk = saved;
    otherDisk.serial = "WD-OTHER";
    SourceIdentity savedWithSerial = saved;
    savedWithSerial.serial = "WD-SAVED";
    const struct {
        SourceIdentity now;
        SourceIdentity was;
        const char* says;
    } cases[] = {
        {identify(rewritten), saved, "content changed"},
        {grown, saved, "size changed"},
        {otherDisk, savedWithSerial, "serial WD-OTHER"},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(identityDifference(c.was, c.now).contains(c.says)) << identityDifference(c.was, c.now).toStdString();
}
