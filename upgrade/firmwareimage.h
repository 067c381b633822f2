// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef FIRMWAREIMAGE_H
#define FIRMWAREIMAGE_H

#include <QByteArray>
#include <QString>

// A firmware image read whole into memory before anything reaches the hub.
// The boot loader's erase takes seconds; whatever happens to the file in that
// time (a build rewriting it, a truncation), the bytes that were checked are
// the bytes that are sent.
class FirmwareImage
{
public:
    enum class Problem { None,
                         Unreadable,
                         Empty,
                         AboveLimit,
                         BeyondHeader,
                         NotReadWhole };

    // The largest image taken without being told otherwise. The boot loader
    // takes 8 bytes per acknowledged block, about 3.7 KiB/s over this link:
    // 8 MiB is some 40 minutes of upload, and more than the on-chip flash of
    // any microcontroller that is programmed this way. A bigger file is almost
    // certainly not a hub image (a disk image, a log, an archive).
    static constexpr qint64 DefaultLimit = 8 * 1024 * 1024;
    // The size header carries 32 bits.
    static constexpr qint64 HeaderLimit = 0xFFFFFFFFLL;

    // Reads the file at path whole, or says why not. limit is the largest size
    // accepted; it is never taken above what the size header and memory allow.
    static FirmwareImage read(const QString &path, qint64 limit = DefaultLimit);

    bool isUsable() const { return problem_ == Problem::None; }
    Problem problem() const { return problem_; }
    const QByteArray &bytes() const { return bytes_; }
    qint64 size() const { return size_; }
    // The system's reason for Unreadable and NotReadWhole.
    QString reason() const { return reason_; }
    // What is wrong, as the upgrade dialog's one line: what happened and what
    // to do.
    QString describe() const;
    // The largest size this build can hold and announce.
    static qint64 holdLimit();

private:
    void refuseSize(qint64 size, qint64 limit);

    Problem problem_ = Problem::Unreadable;
    QByteArray bytes_;
    qint64 size_ = 0;
    QString reason_;
};

#endif // FIRMWAREIMAGE_H
