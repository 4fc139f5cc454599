#include "shutdownblock.h"

#include <QWidget>

ShutdownBlock::ShutdownBlock(QWidget *window) : QObject(window), window(window) { }

void ShutdownBlock::follow(bool) { }
