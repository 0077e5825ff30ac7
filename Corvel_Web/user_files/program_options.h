// The files that configure the program: "Option.ini" with its built-in defaults and the page's
// options, in the settings directory (program_locations.h), and the page itself, beside the
// program. Files that may not be believed are ignored with a warning.
#pragma once

#include <QSize>
#include <QString>
#include <QUrl>

#include "quarnel_defaults.h"

struct ProgramOptions {
    static constexpr int kDefaultWidth = 360;
    static constexpr int kDefaultHeight = 728;
    static constexpr int kDefaultMtu = QUARNEL_DEFAULT_MTU;

    int width = kDefaultWidth;
    int height = kDefaultHeight;
    int mtu = kDefaultMtu;
};

// A path in the settings directory.
QString settingsFilePath(const QString& name);

// "Option.ini": keys "resolution/width", "resolution/height" and "vpn_params/mtu"; a missing
// key, a value that is not a number or a size out of all reason gives the default.
ProgramOptions readProgramOptions();
// The window size for a screen whose free area is `available`: no larger than that area.
QSize windowSizeOnScreen(const ProgramOptions& options, const QSize& available);

// "page_options.json" as compact JSON text of an object; "{}" when the file is missing, not to
// be believed, too large or not a JSON object.
QString readPageOptions();

// The page the window shows: "index.html" beside the program or, when that file is not to be
// believed, the built-in page that says so.
QUrl programPageUrl();
