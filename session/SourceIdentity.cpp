#include "session/SourceIdentity.h"

#include "disk/DiskInfo.h"
#include "disk/Nyx.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <vector>

namespace {

QString readSysText(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.read(256)).trimmed();
}

// sysfs of the whole disk: a partition's directory sits inside its disk's.
QString diskSysDir(const QByteArray& name)
{
    const QString sys = diskEnumEnv().sysRoot + "/class/block/" + QString::fromLocal8Bit(name);
    const QFileInfo info(sys);
    const QString real = info.canonicalFilePath();
    if (real.isEmpty())
        return QString();
    if (QFileInfo::exists(real + "/partition"))
        return QFileInfo(real).path();
    return real;
}

} // namespace

bool identifySource(const QByteArray& name, SourceIdentity* out, QString* why)
{
    SourceIdentity id;
    id.name = name;
    NyxCIOSystemDevice* dev = NyxfIOSystemDevice_new_not_open(nyxDevicePathForName(name).constData());
    const int rc = dev ? NyxfIOSystemDevice_open(dev, NyxAccessRead, NyxOpenExisting) : ENODEV;
    if (rc != 0) {
        NyxfIOSystemDevice_delete(&dev);
        *why = QStringLiteral("cannot open %1: %2").arg(QString::fromLocal8Bit(name), QString::fromLocal8Bit(std::strerror(rc)));
        return false;
    }
    id.size = dev->size();
    if (id.size < 0) {
        NyxfIOSystemDevice_delete(&dev);
        *why = QStringLiteral("%1 has no known size").arg(QString::fromLocal8Bit(name));
        return false;
    }
    // Four 4 KiB samples spread over the source; an unreadable one counts as such.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(id.size));
    const qint64 last = std::max<qint64>(0, id.size - 4096) & ~qint64(4095);
    const qint64 at[] = {0, std::min<qint64>(last, 1048576), (id.size / 2) & ~qint64(4095), last};
    std::vector<char> buf(4096);
    for (qint64 off : at) {
        const qint64 want = std::min<qint64>(4096, id.size - off);
        const qint64 got = want > 0 ? NyxfIOSystemDevice_read_from(dev, buf.data(), off, quint32(want)) : 0;
        if (got < 0)
            hash.addData("unreadable");
        else
            hash.addData(buf.data(), int(got));
    }
    NyxfIOSystemDevice_delete(&dev);
    id.fingerprint = hash.result().toHex();

    if (!name.contains('/')) {
        const QString sys = diskSysDir(name);
        if (!sys.isEmpty()) {
            id.model = readSysText(sys + "/device/model");
            id.serial = readSysText(sys + "/device/serial");
            if (id.serial.isEmpty())
                id.serial = readSysText(sys + "/serial");
        }
        const QString devNode = diskEnumEnv().devRoot + "/" + QString::fromLocal8Bit(name);
        const QString target = QFileInfo(devNode).canonicalFilePath();
        QDir byId(diskEnumEnv().devRoot + "/disk/by-id");
        for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
            if (!target.isEmpty() && link.canonicalFilePath() == target && !link.fileName().startsWith("wwn-")) {
                id.byId = link.fileName();
                break;
            }
        }
    }
    *out = id;
    return true;
}

QString identityDifference(const SourceIdentity& saved, const SourceIdentity& now)
{
    if (saved.size != now.size)
        return QStringLiteral("its size changed from %1 to %2 bytes").arg(saved.size).arg(now.size);
    if (!saved.serial.isEmpty() && !now.serial.isEmpty() && saved.serial != now.serial)
        return QStringLiteral("it is another disk (serial %1, not %2)").arg(now.serial, saved.serial);
    if (!saved.model.isEmpty() && !now.model.isEmpty() && saved.model != now.model)
        return QStringLiteral("it is another disk (model %1, not %2)").arg(now.model, saved.model);
    if (saved.fingerprint != now.fingerprint)
        return QStringLiteral("its content changed (the sampled sectors differ)");
    return QString();
}
