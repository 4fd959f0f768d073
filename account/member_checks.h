#pragma once

#include <QByteArray>
#include <QChar>
#include <QLocale>
#include <QString>

// The sign-up window's entry rules, kept apart from the window.

enum class RefusedSet {
    Id,        // the commercial at is allowed, so an e-mail address passes
    Password,  // every listed character is refused
};

// The first character of the refused list, in list order, that occurs anywhere in text;
// a null QChar when none does.
QChar firstRefusedCharacter(const QString& text, RefusedSet set);

// The box text that names a refused character.
QString refusedCharacterMessage(QChar character);

// Exactly 10 characters and a valid date, either in the hint's form "1990-03-30" or in the
// locale's short-date form.
bool isBirthDate(const QString& text, const QLocale& locale = QLocale());

// The ID as the ANSI code page holds it: its byte count and whether any byte belongs to a
// double-byte character (a lead byte and the trail byte after it).
struct AnsiIdForm {
    qsizetype bytes = 0;
    bool doubleByte = false;
};
AnsiIdForm ansiIdForm(const QString& id);

// True when the bytes hold a double-byte character of the code page.
bool hasDoubleByteCharacter(const QByteArray& ansi);
