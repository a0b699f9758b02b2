// The program's pictures and icons, drawn from the bundled SVG resources.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace sentrel::ui {

inline constexpr int kAnimationFrames = 6;

// Registers the bundled resources (pictures, icons, help); safe to call often.
void EnsureResources();

// Resource paths (":/sentrel/...").
QString AppIconPath();
QString AnimationFramePath(int frame);  // 0..5, in animation order
QString HelpGlyphPath();
QString LogoPicturePath();   // 206 x 52
QString AboutPicturePath();  // 258 x 104

// Renders an SVG resource to a pixmap of the given logical size (sharp on
// high-density screens). A null pixmap when the resource is missing.
QPixmap RenderSvg(const QString& path, QSize size);

// The window icon (32 x 32 and 16 x 16), an animation frame (16 x 16), the help glyph.
QIcon AppIcon();
QIcon AnimationFrameIcon(int frame);
QIcon HelpGlyphIcon();

}  // namespace sentrel::ui
