// The batched hand-off carries exactly what one-by-one delivery carries; a
// receiver that has not read the batch it was sent gets no second one.
#include "support/ScanHarness.h"

namespace {

// Short two-frame recordings every 4 KiB: thousands of fragments across
// several passes of the search.
QByteArray denseImage()
{
    QByteArray image = zeroImage(13 * MiB + 333);
    for (qint64 at = 4096; at + 700 < image.size(); at += 4096)
        putRun(image, at, {300, 300});
    return image;
}

struct Receiver {
    const char* name;
    bool readAtOnce;
    int batchMs; // 0: the default
};
void PrintTo(const Receiver& r, std::ostream* os) { *os << r.name; }

class FragmentBatchDelivery : public ::testing::TestWithParam<Receiver> {};

TEST_P(FragmentBatchDelivery, SameFragmentsSerialsAndOrderAsOneByOne)
{
    const bool readAtOnce = GetParam().readAtOnce;
    // Longer than the scan: every fragment waits for the last batch.
    const bool oneAtTheEnd = GetParam().batchMs > 0;
    const QByteArray image = denseImage();
    ScopedFaultDevices devices(std::make_shared<FaultPlan>(image));
    TestScan scan;
    if (oneAtTheEnd)
        scan.setBatchInterval(GetParam().batchMs);
    FragmentSink sink;
    sink.attach(scan);
    std::vector<SFragmentBatch> batches;
    QObject::connect(&scan, &CFragmentFit::TransmitFragmentBatch, &scan,
                     [&](SFragmentBatch b) {
                         if (readAtOnce) {
                             EXPECT_GT(b.size(), 0);
                         }
                         batches.push_back(b);
                     },
                     Qt::DirectConnection);
    scan.setDevicePath(kTestDevicePath);
    ASSERT_EQ(scan.setRange(0, image.size()), 0);
    {
        ScanWorker worker(scan);
        worker.start();
        ASSERT_TRUE(worker.wait(60000));
    }
    const std::vector<SentFragment> one = sink.take();
    ASSERT_GT(one.size(), 3000u);
    if (oneAtTheEnd)
        EXPECT_EQ(batches.size(), 1u) << "nothing goes before the interval but the last batch";
    else if (readAtOnce)
        EXPECT_GT(batches.size(), 3u);
    else
        EXPECT_EQ(batches.size(), 1u) << "an unread batch takes in every later fragment";

    size_t k = 0;
    for (const SFragmentBatch& b : batches) {
        for (int i = 0; i < b.size(); ++i, ++k) {
            ASSERT_LT(k, one.size());
            const SFragmentFit f = b.fragment(i);
            EXPECT_EQ(b.serial(i), one[k].serial);
            ASSERT_EQ(f.extents->size(), one[k].fragment.extents->size());
            for (int e = 0; e < f.extents->size(); ++e) {
                EXPECT_EQ(f.extents->at(e).start, one[k].fragment.extents->at(e).start);
                EXPECT_EQ(f.extents->at(e).end, one[k].fragment.extents->at(e).end);
            }
            EXPECT_EQ(f.totalBytes, one[k].fragment.totalBytes);
            EXPECT_EQ(f.frameCount, one[k].fragment.frameCount);
            EXPECT_EQ(f.firstTime, one[k].fragment.firstTime);
            EXPECT_EQ(f.lastTime, one[k].fragment.lastTime);
            EXPECT_EQ(f.stream, one[k].fragment.stream);
            EXPECT_EQ(f.diskName, one[k].fragment.diskName);
            EXPECT_EQ(f.diskName.constData(), one[0].fragment.diskName.constData()) << "one name, shared";
        }
    }
    EXPECT_EQ(k, one.size());
}

INSTANTIATE_TEST_SUITE_P(Receiver, FragmentBatchDelivery,
                         ::testing::Values(Receiver{"ReadsAtOnce", true, 0}, Receiver{"Busy", false, 0},
                                           Receiver{"LongInterval", true, 3600 * 1000}),
                         [](const ::testing::TestParamInfo<Receiver>& i) { return std::string(i.param.name); });

} // namespace
