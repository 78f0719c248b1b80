// A Qt style plugin as an attacker would put it on QT_PLUGIN_PATH (with QT_STYLE_OVERRIDE
// naming it): as soon as Qt loads it, it tries to become root and records in the file that
// EVIL_STYLE_MARK names which user ids the process had and whether seteuid(0) worked, then
// tells of its load on standard error.
#include <unistd.h>

#include <QStyle>
#include <QStylePlugin>
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void tryToBecomeRoot() {
    uid_t real = 0;
    uid_t effective = 0;
    uid_t saved = 0;
    if (::getresuid(&real, &effective, &saved) != 0) {
        return;
    }
    const int raised = ::seteuid(0);
    const char* mark = std::getenv("EVIL_STYLE_MARK");
    if (FILE* file = mark != nullptr ? std::fopen(mark, "w") : nullptr) {
        std::fprintf(file, "ids %u %u %u seteuid %d\n", real, effective, saved, raised);
        std::fclose(file);
    }
    std::fputs("evil style loaded\n", stderr);
}

}  // namespace

class EvilStylePlugin : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "EvilStylePlugin.json")

public:
    QStyle* create(const QString&) override { return nullptr; }
};

#include "EvilStylePlugin.moc"
