#include "ui/artwork.h"

#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

#include <mutex>

// Resources of a static library must be registered by hand, outside any namespace.
static void InitSentrelResources() {
    Q_INIT_RESOURCE(sentrel);
}

namespace sentrel::ui {

void EnsureResources() {
    static std::once_flag once;
    std::call_once(once, InitSentrelResources);
}

QString AppIconPath() {
    return QStringLiteral(":/sentrel/icons/sentrel.svg");
}

QString AnimationFramePath(int frame) {
    return QStringLiteral(":/sentrel/icons/frame%1.svg").arg(frame);
}

QString HelpGlyphPath() {
    return QStringLiteral(":/sentrel/icons/help_glyph.svg");
}
QString LogoPicturePath() {
    return QStringLiteral(":/sentrel/pictures/logo.svg");
}
QString AboutPicturePath() {
    return QStringLiteral(":/sentrel/pictures/about.svg");
}

QPixmap RenderSvg(const QString& path, QSize size) {
    EnsureResources();
    QSvgRenderer renderer(path);
    if (!renderer.isValid() || size.isEmpty()) {
        return {};
    }
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(size * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return pixmap;
}

namespace {

QIcon IconAtSizes(const QString& path, std::initializer_list<int> sizes) {
    QIcon icon;
    for (int s : sizes) {
        icon.addPixmap(RenderSvg(path, QSize(s, s)));
    }
    return icon;
}

}  // namespace

QIcon AppIcon() {
    return IconAtSizes(AppIconPath(), {16, 32, 48, 64});
}

QIcon AnimationFrameIcon(int frame) {
    return IconAtSizes(AnimationFramePath(frame), {16, 32});
}

QIcon HelpGlyphIcon() {
    QIcon icon;
    icon.addPixmap(RenderSvg(HelpGlyphPath(), QSize(16, 14)));
    return icon;
}

}  // namespace sentrel::ui
