#pragma once
// What a session remembers of its source, so that a resume or an export
// knows it is reading the same disk: the path, the size, for disks the model,
// serial and /dev/disk/by-id name (from the roots of diskEnumEnv()), and a
// fingerprint of a few sectors, which recognises a disk that comes back
// under another name.

#include <QByteArray>
#include <QString>

struct SourceIdentity {
    QByteArray name;        // device name the fragments carry (sdb1, or an absolute file path)
    qint64 size = -1;
    QString model;
    QString serial;
    QString byId;           // file name under /dev/disk/by-id
    QByteArray fingerprint; // hex SHA-256 of the sampled sectors
};

// Opens the source read-only through the device factory and describes it.
// False with the reason in *why when it cannot be opened or has no size.
bool identifySource(const QByteArray& name, SourceIdentity* out, QString* why);

// "" when `now` is the source `saved` describes, else what differs, in words.
// The path alone may differ: a disk moved to another port is still the disk.
QString identityDifference(const SourceIdentity& saved, const SourceIdentity& now);
