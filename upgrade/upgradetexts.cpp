// SPDX-License-Identifier: GPL-3.0-or-later
#include "upgradetexts.h"

#include <QCoreApplication>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("UpgradeTexts", text);
}

} // namespace

QString UpgradeTexts::text(Text which, const QString &first, const QString &second)
{
    switch (which) {
    case Erasing:
        return QStringLiteral("Requesting Device Mass Erase...");
    case Handshake:
        return QStringLiteral("Handshake complete. Upgrading Hub");
    case Terminating:
        return QStringLiteral("Waiting for Hub to terminate session");
    case Finished:
        return QStringLiteral("Upgrade Finished. Please reconnect the device.");
    case NoEraseReply:
        return translated("No reply to the erase. Reconnect the Hub and try again.");
    case EraseRefused:
        return translated("The Hub refused the erase. Reconnect it and try again.");
    case NoSizeReply:
        return translated("No reply to the image size. Reconnect the Hub and try again.");
    case NoBlockReply:
        return translated("No reply at byte %1 of %2. Reconnect and try again.").arg(first, second);
    case NoFinalReply:
        return translated("No final reply. Reconnect the Hub and try again.");
    case NotConfirmed:
        return translated("The Hub did not confirm the upgrade. Please upgrade again.");
    case Fatal:
        return QStringLiteral("Fatal error whilst programming the Hub");
    case FileUnreadable:
        return QStringLiteral("Error opening the file!");
    case FileEmpty:
        return translated("The firmware file is empty. Please choose another file.");
    case NamedFileUnreadable:
        return translated("Cannot read %1. Please choose another file.").arg(first);
    case NamedFileEmpty:
        return translated("%1 is empty. Please choose another file.").arg(first);
    case FileTooLarge:
        return translated("%1 bytes, more than %2 MiB. Choose another file.")
            .arg(first, second);
    case FileBeyondHeader:
        return translated("The file is over 4 GiB. Choose the Hub's firmware.");
    case FileNotReadWhole:
        return translated("Cannot read the file (%1). Choose another file.").arg(first);
    }
    return QString();
}

QStringList UpgradeTexts::widest()
{
    // A firmware file's name as builds name them; sizes up to the limit.
    const QString name = QStringLiteral("hub-2.2.0.binary");
    QStringList texts;
    for (int which = Erasing; which <= FileNotReadWhole; ++which) {
        switch (Text(which)) {
        case NoBlockReply:
            texts << text(NoBlockReply, QStringLiteral("8388600"), QStringLiteral("8388608"));
            break;
        case NamedFileUnreadable:
        case NamedFileEmpty:
            texts << text(Text(which), name);
            break;
        case FileTooLarge:
            texts << text(FileTooLarge, QStringLiteral("4294967295"), QStringLiteral("8"));
            break;
        case FileNotReadWhole:
            texts << text(FileNotReadWhole, QStringLiteral("Input/output error"));
            break;
        default:
            texts << text(Text(which));
            break;
        }
    }
    return texts;
}
