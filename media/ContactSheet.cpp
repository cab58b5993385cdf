#include "media/ContactSheet.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

namespace Media {

QList<SheetEntry> makeThumbnails(const QList<SPlayListTableItem>& rows, const QString& dir, int threads,
                                 const std::function<void(int, int)>& progress, const std::atomic<bool>* cancel)
{
    std::vector<SheetEntry> entries;
    for (const SPlayListTableItem& row : rows) {
        SheetEntry e;
        e.serial = row.iSerial;
        e.bytes = row.sFragmentFit.totalBytes;
        const auto& ext = row.sFragmentFit.extents;
        e.offset = ext && !ext->isEmpty() ? ext->first().start : 0;
        entries.push_back(e);
    }
    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::mutex progressLock;
    auto work = [&] {
        for (int i; (i = next.fetch_add(1)) < rows.size();) {
            if (cancel && cancel->load())
                return;
            const SPlayListTableItem& row = rows[i];
            const SPlayListTableItem* prev = precedingFragment(rows, row.sFragmentFit);
            const SFragmentFit* before = prev ? &prev->sFragmentFit : nullptr;
            SheetEntry& e = entries[size_t(i)];
            e.duration = countPictures(row.sFragmentFit, before);
            const Thumbnail t = thumbnail(row.sFragmentFit, 320, before);
            if (t.ok) {
                const QString name = QStringLiteral("thumb-%1.jpg").arg(row.iSerial, 5, 10, QLatin1Char('0'));
                QSaveFile file(dir + '/' + name);
                if (file.open(QIODevice::WriteOnly) && file.write(t.jpeg) == t.jpeg.size() && file.commit())
                    e.image = name;
                else
                    e.note = QStringLiteral("cannot write %1: %2").arg(name, file.errorString());
            } else {
                e.note = t.error;
            }
            const int d = done.fetch_add(1) + 1;
            if (progress) {
                std::lock_guard<std::mutex> lock(progressLock);
                progress(d, rows.size());
            }
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < std::max(1, threads); ++i)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
    return QList<SheetEntry>(entries.begin(), entries.end());
}

namespace {

QString pageName(int page)
{
    return page == 0 ? QStringLiteral("index.html") : QStringLiteral("index-%1.html").arg(page + 1);
}

QString sizeText(qint64 bytes)
{
    if (bytes >= qint64(1) << 30)
        return QString::number(bytes / double(qint64(1) << 30), 'f', 2) + QStringLiteral(" GiB");
    return QString::number(bytes / double(1 << 20), 'f', 2) + QStringLiteral(" MiB");
}

QString durationText(const Duration& d)
{
    if (!d.known)
        return QStringLiteral("?");
    const qint64 s = qint64(d.seconds + 0.5);
    return QString::asprintf("%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
}

} // namespace

bool writeContactSheet(const QList<SheetEntry>& unsorted, const QString& dir, const QString& title, QString* error)
{
    QList<SheetEntry> entries = unsorted;
    std::stable_sort(entries.begin(), entries.end(),
                     [](const SheetEntry& a, const SheetEntry& b) { return a.offset < b.offset; });
    const int pages = std::max(1, int((entries.size() + kSheetPageSize - 1) / kSheetPageSize));
    for (int page = 0; page < pages; ++page) {
        QString nav;
        if (pages > 1) {
            nav = QStringLiteral("<nav>");
            for (int p = 0; p < pages; ++p)
                nav += p == page ? QStringLiteral(" <b>%1</b>").arg(p + 1)
                                 : QStringLiteral(" <a href=\"%1\">%2</a>").arg(pageName(p)).arg(p + 1);
            nav += QStringLiteral("</nav>\n");
        }
        QString html = QStringLiteral(
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1</title>\n<style>\n"
            "body{font-family:sans-serif;background:#222;color:#eee;margin:12px}\n"
            "a{color:#9cf} nav{margin:8px 0}\n"
            ".grid{display:flex;flex-wrap:wrap;gap:10px}\n"
            ".f{width:320px;background:#333;padding:6px;border-radius:4px}\n"
            ".f img{width:320px;display:block}\n"
            ".none{width:320px;height:180px;display:flex;align-items:center;justify-content:center;"
            "background:#111;color:#888;font-size:12px;text-align:center}\n"
            ".m{font-size:13px;margin-top:4px} .m b{color:#fff}\n"
            "</style></head><body>\n<h1>%1</h1>\n<p>%2 fragments, in disk order; page %3 of %4.</p>\n")
                           .arg(title.toHtmlEscaped())
                           .arg(entries.size())
                           .arg(page + 1)
                           .arg(pages);
        html += nav + QStringLiteral("<div class=\"grid\">\n");
        const int end = std::min<int>(entries.size(), (page + 1) * kSheetPageSize);
        for (int i = page * kSheetPageSize; i < end; ++i) {
            const SheetEntry& e = entries[i];
            html += QStringLiteral("<div class=\"f\" id=\"f%1\">").arg(e.serial);
            if (!e.image.isEmpty())
                html += QStringLiteral("<img src=\"%1\" alt=\"fragment %2\" loading=\"lazy\">").arg(e.image).arg(e.serial);
            else
                html += QStringLiteral("<div class=\"none\">%1</div>").arg(e.note.toHtmlEscaped());
            html += QStringLiteral("<div class=\"m\"><b>#%1</b> &nbsp; %2 &nbsp; %3<br>offset %4</div></div>\n")
                        .arg(e.serial)
                        .arg(sizeText(e.bytes), durationText(e.duration))
                        .arg(e.offset);
        }
        html += QStringLiteral("</div>\n") + nav + QStringLiteral("</body></html>\n");
        const QString path = dir + '/' + pageName(page);
        QSaveFile file(path);
        const QByteArray bytes = html.toUtf8();
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
            if (error)
                *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
            return false;
        }
    }
    return true;
}

} // namespace Media
