// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmwareimage.h"

#include "upgradetexts.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace {

const qint64 ChunkBytes = 1 << 20;

// Why a size past what is accepted is refused: the header, the chosen limit,
// or only this build's memory.
FirmwareImage::Problem tooLarge(qint64 size, qint64 limit)
{
    if (size > FirmwareImage::HeaderLimit)
        return FirmwareImage::Problem::BeyondHeader;
    if (size > limit)
        return FirmwareImage::Problem::AboveLimit;
    return FirmwareImage::Problem::NotReadWhole;
}

} // namespace

qint64 FirmwareImage::holdLimit()
{
    // Qt 5 keeps a byte array's size in an int; leave room for its header.
    const qint64 arrayLimit =
        qint64(std::numeric_limits<decltype(QByteArray().size())>::max()) - 4096;
    return std::min(HeaderLimit, arrayLimit);
}

void FirmwareImage::refuseSize(qint64 size, qint64 limit)
{
    size_ = size;
    problem_ = tooLarge(size, limit);
    if (problem_ == Problem::NotReadWhole)
        reason_ = QStringLiteral("too large to hold in memory");
}

FirmwareImage FirmwareImage::read(const QString &path, qint64 limit)
{
    FirmwareImage image;
    // A pipe or a device would block the open or the read for as long as its
    // writer likes, and has no size to check: an image is a file.
    const QFileInfo info(path);
    if (!path.isEmpty() && info.exists() && !info.isFile()) {
        image.reason_ = QStringLiteral("not a regular file");
        return image;
    }
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        image.reason_ = path.isEmpty() ? QStringLiteral("no file chosen") : file.errorString();
        return image;
    }
    const qint64 accepted = std::min(std::max<qint64>(limit, 0), holdLimit());
    // The size the file claims is only a first word: a file that grows while
    // it is read, or a device that never ends, is read up to one byte past the
    // limit and no further.
    const qint64 claimed = file.size();
    if (claimed > accepted) {
        image.refuseSize(claimed, limit);
        return image;
    }
    QByteArray bytes;
    bytes.reserve(int(std::min(claimed, accepted)));
    for (;;) {
        const qint64 want = std::min(ChunkBytes, accepted + 1 - qint64(bytes.size()));
        if (want <= 0)
            break;
        const QByteArray chunk = file.read(want);
        if (chunk.isEmpty()) {
            if (file.error() != QFileDevice::NoError || !file.atEnd()) {
                image.problem_ = Problem::NotReadWhole;
                image.reason_ = file.errorString();
                return image;
            }
            break;
        }
        bytes.append(chunk);
    }
    image.size_ = bytes.size();
    if (image.size_ > accepted) {
        image.refuseSize(image.size_, limit);
        return image;
    }
    if (bytes.isEmpty()) {
        image.problem_ = Problem::Empty;
        return image;
    }
    image.bytes_ = bytes;
    image.problem_ = Problem::None;
    return image;
}

QString FirmwareImage::describe() const
{
    switch (problem_) {
    case Problem::None:
        return QString();
    case Problem::Empty:
        return UpgradeTexts::text(UpgradeTexts::FileEmpty);
    case Problem::AboveLimit:
        // In bytes: a size in MiB rounds a file just over the limit down to it.
        return UpgradeTexts::text(UpgradeTexts::FileTooLarge, QString::number(size_),
                                  QString::number(DefaultLimit >> 20));
    case Problem::BeyondHeader:
        return UpgradeTexts::text(UpgradeTexts::FileBeyondHeader);
    case Problem::NotReadWhole:
        return UpgradeTexts::text(UpgradeTexts::FileNotReadWhole, reason_);
    case Problem::Unreadable:
        break;
    }
    return UpgradeTexts::text(UpgradeTexts::FileUnreadable);
}
