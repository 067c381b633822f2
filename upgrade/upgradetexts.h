// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef UPGRADETEXTS_H
#define UPGRADETEXTS_H

#include <QString>
#include <QStringList>

// Every text the upgrade dialog's one line may show, in one place: the run's
// steps and failures, what is wrong with an image and the dialog's own. A
// failure says what went wrong and what to do, in few words; the line has no
// room for more.
class UpgradeTexts
{
public:
    enum Text {
        // The run's steps.
        Erasing,
        Handshake,
        Terminating,
        Finished,
        // The run's failures.
        NoEraseReply,
        EraseRefused,
        NoSizeReply,
        NoBlockReply, // %1 of %2 bytes sent
        NoFinalReply,
        NotConfirmed,
        Fatal,
        // The image's problems.
        FileUnreadable,
        FileEmpty,
        NamedFileUnreadable, // %1 the file's name
        NamedFileEmpty,      // %1 the file's name
        FileTooLarge,        // %1 the file's bytes, %2 the limit's MiB
        FileBeyondHeader,
        FileNotReadWhole, // %1 the system's reason
    };

    static QString text(Text which, const QString &first = QString(), const QString &second = QString());
    // Every text with the widest arguments it can get in practice.
    static QStringList widest();
};

#endif // UPGRADETEXTS_H
