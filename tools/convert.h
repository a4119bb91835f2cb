// convert: the documents Ghostscript does not read as they are, turned into ones it reads,
// and the placement of every rendered page. A gzip-compressed document is unpacked here
// (zlib); UTF-8 text becomes PostScript through paps (Pango, fonts from fontconfig); a PNG
// or JPEG image becomes a lossless PDF page of the image's own size through img2pdf. The
// converted files go to the job's private folder. Ghostscript's arguments are built here
// too: they carry the procedure that places each page in the printable area.
#pragma once

#include <string>
#include <vector>

#include "document.h"
#include "jobrecords.h"

struct SignalState;

// The printable rectangle of the rendered page, in points of the page image at 600 dpi
// (origin at the lower left): the model's margins, measured on the sheet, carried over
// to the page image in proportion. The whole page when the model gives no sheet size.
struct PrintableArea {
    double fLeft = 0;
    double fBottom = 0;
    double fWidth = 0;
    double fHeight = 0;
};
PrintableArea PrintableAreaOf(const PageSetup& page);

// Ghostscript's arguments for a PDF, PostScript or EPS document: PPM pages of the page
// image's size at 600 dpi to descriptor fdPages. Each page keeps its size when it fits
// the printable area, is shrunk to fit when it does not, is turned when its orientation
// is not the area's, and is centred in the area.
std::vector<std::string> GhostscriptArguments(DocKind kind, const std::string& document, const PageSetup& page,
                                              int fdPages);

// Unpacks the gzip-compressed file packed into the new file unpacked. 0, kStatusRefused
// for a damaged stream, kStatusFailed (both reported), or -1 when cancelled.
int UnpackDocument(const std::string& packed, const std::string& unpacked, SignalState* pSignals);

// Turns a text, PNG or JPEG document into PostScript or PDF in the folder tmpDir: *pKind
// and *pDocument then name the converted file. Other kinds are left alone. 0, the exit
// status (reported), or -1 when cancelled.
int ConvertForGhostscript(DocKind* pKind, std::string* pDocument, const PageSetup& page, const std::string& tmpDir,
                          SignalState* pSignals);
