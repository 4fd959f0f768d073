#pragma once

class QAccessibleInterface;
class QObject;
class QString;

// The accessibility factory for StringGrid: presents the grid as the table a sighted user
// sees, its fixed column a column of row headers under its own column header (the corner
// cell, which Qt's own table leaves nameless).
QAccessibleInterface* stringGridAccessible(const QString& className, QObject* object);
