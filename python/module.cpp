// The Python module `quorvel`: Archive and EntryInfo with the conventions
// of zipfile, the exceptions, and the GIL released around archive I/O.
#include "python/module.h"
#include "python/session.h"
#include "python/stream.h"

#include "core/files.h"
#include "core/names.h"
#include "core/translate.h"

#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <pybind11/stl.h>
#include <sys/stat.h>

namespace py = pybind11;

// One entry as EntryInfo shows it.
struct EntryInfo {
    std::string name;
    py::bytes rawName;
    uint64_t size = 0, position = 0;
    int64_t stamp = 0;
    bool listed = false;
    bool IsDir() const {
        return size == 0 && !name.empty() && (name.back() == '/' || name.back() == '\\');
    }
    // The archive's last-write time, in the local zone, as `list --json` gives it.
    py::object DateTime() const {
        if (!listed)
            return py::none();
        py::object datetime = py::module_::import("datetime").attr("datetime");
        return datetime.attr("fromtimestamp")(LastWriteTime(stamp)).attr("astimezone")();
    }
};

// One call at a time on an archive: a call that released the GIL may still
// be using the listing another would free. Taken without the GIL, so that a
// thread that holds the lock can always take the GIL back.
class Exclusive {
  public:
    explicit Exclusive(std::recursive_mutex &mutex) : lock_(mutex, std::defer_lock) {
        py::gil_scoped_release released;
        lock_.lock();
    }

  private:
    std::unique_lock<std::recursive_mutex> lock_;
};

class PyArchive {
  public:
    PyArchive(const py::object &path, const std::string &mode, const std::string &encoding) {
        StartSessions();
        if (mode != "r" && mode != "w" && mode != "a")
            throw py::value_error("Archive requires mode 'r', 'w' or 'a'");
        std::string file = FsPath(path);
        Failure failure;
        bool ok;
        {
            py::gil_scoped_release released;
            ok = session_.Open(file, mode[0], encoding, &failure);
        }
        if (!ok)
            Raise(failure);
    }

    py::list Namelist() {
        Exclusive exclusive(mutex_);
        Open();
        py::list names(session_.Count());
        size_t i = 0;
        for (const Item &item : session_.Items()) {
            if (!item.removed)
                PyList_SET_ITEM(names.ptr(), i++, Text(item.name).release().ptr());
        }
        return names;
    }

    std::vector<EntryInfo> Infolist() {
        Exclusive exclusive(mutex_);
        Open();
        std::vector<EntryInfo> infos;
        infos.reserve(session_.Count());
        for (size_t i = 0; i < session_.Items().size(); i++) {
            if (!session_.Items()[i].removed)
                infos.push_back(Info(i));
        }
        return infos;
    }

    EntryInfo GetInfo(const py::object &name) {
        Exclusive exclusive(mutex_);
        return Info(IndexOf(name));
    }

    py::bytes Read(const py::object &name) {
        Exclusive exclusive(mutex_);
        size_t index = IndexOf(name);
        const Item &item = session_.Items()[index];
        Failure failure;
        if (session_.GivenBytes(index) != nullptr)
            return py::bytes(*session_.GivenBytes(index));
        EntrySpan span;
        if (!session_.Span(index, &span, &failure))
            Raise(failure);
        // One block: the bytes object itself, filled without the GIL.
        py::object bytes = py::reinterpret_steal<py::object>(
            PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)span.size));
        if (!bytes)
            throw py::error_already_set();
        char *into = PyBytes_AS_STRING(bytes.ptr());
        bool ok;
        {
            py::gil_scoped_release released;
            ok = Session::ReadSpan(span, 0, into, (size_t)span.size, &failure);
        }
        if (!ok) {
            if (failure.kind != FailureKind::kSystem || failure.subject.empty())
                failure.subject = session_.Path() + ": " + item.name;
            Raise(failure);
        }
        return bytes;
    }

    py::object OpenEntry(const py::object &name) {
        Exclusive exclusive(mutex_);
        size_t index = IndexOf(name);
        const Item &item = session_.Items()[index];
        py::module_ io = py::module_::import("io");
        if (session_.GivenBytes(index) != nullptr)
            return io.attr("BytesIO")(Read(name));
        EntrySpan span;
        Failure failure;
        if (!session_.Span(index, &span, &failure))
            Raise(failure);
        return io.attr("BufferedReader")(py::cast(EntryStream(span, item.name)));
    }

    std::string Extract(const py::object &name, const py::object &path) {
        Exclusive exclusive(mutex_);
        std::string folder = path.is_none() ? "." : FsPath(path);
        std::string written;
        Failure failure;
        if (!ExtractOne(IndexOf(name), folder, &written, &failure))
            Raise(failure);
        return written;
    }

    // Every entry it can, as `quorvel extract` does; then the first failure,
    // if there was one, is raised.
    void ExtractAll(const py::object &path, const py::object &members) {
        Exclusive exclusive(mutex_);
        std::string folder = path.is_none() ? "." : FsPath(path);
        std::vector<size_t> chosen;
        if (members.is_none()) {
            for (size_t i = 0; i < session_.Items().size(); i++) {
                if (!session_.Items()[i].removed)
                    chosen.push_back(i);
            }
        } else {
            for (const py::handle &member : members)
                chosen.push_back(IndexOf(py::reinterpret_borrow<py::object>(member)));
        }
        Failure first;
        std::string written;
        for (size_t i : chosen) {
            Failure failure;
            if (!ExtractOne(i, folder, &written, &failure) && !first)
                first = failure;
        }
        if (first)
            Raise(first);
    }

    // The verdict of `quorvel test`: None when sound, else the name of the
    // first damaged entry, or BadArchive when the directory itself is damaged.
    py::object TestArchive() {
        Exclusive exclusive(mutex_);
        Open();
        if (session_.Mode() == 'w')
            throw py::value_error("testarchive() requires mode 'r' or 'a'");
        Verdict verdict;
        Failure failure;
        bool examined;
        {
            py::gil_scoped_release released;
            examined = session_.Examine(&verdict, &failure);
        }
        if (!examined)
            Raise(failure);
        // As zipfile's testzip(): the first damaged entry's name; the
        // directory's own damage when no entry shows it.
        long damaged = verdict.FirstDamaged();
        if (damaged < 0 && !verdict.directory.empty())
            Raise(verdict.directory[0]);
        if (damaged < 0)
            return py::none();
        const std::string &name = session_.Items()[(size_t)damaged].name;
        // An empty name would read as "nothing damaged".
        if (name.empty()) {
            for (const Verdict::Damage &d : verdict.damage) {
                if ((long)d.entry == damaged) {
                    Failure failure = d.why;
                    failure.subject = session_.Path() + ": " + failure.subject;
                    Raise(failure);
                }
            }
        }
        return Text(name);
    }

    void Write(const py::object &filename, const py::object &arcname) {
        Exclusive exclusive(mutex_);
        Writable("write()");
        std::string file = FsPath(filename);
        std::string name;
        if (arcname.is_none()) {
            // As zipfile: the path without its drive and leading separators.
            name = NameBytes(py::module_::import("os").attr("fsdecode")(filename));
            name.erase(0, name.find_first_not_of('/'));
            while (name.rfind("./", 0) == 0)
                name.erase(0, 2);
        } else {
            name = NameText(arcname);
        }
        Failure failure;
        bool ok;
        {
            py::gil_scoped_release released;
            ok = session_.PutFile(name, file, &failure);
        }
        if (!ok)
            Raise(failure);
    }

    void WriteStr(const py::object &arcname, const py::bytes &data) {
        Exclusive exclusive(mutex_);
        Writable("writestr()");
        std::string name = NameText(arcname);
        auto bytes = std::make_shared<std::string>(data.cast<std::string>());
        Failure failure;
        if (!session_.PutBytes(name, bytes, &failure))
            Raise(failure);
    }

    void Apply(const py::object &patch, const py::object &names) {
        Exclusive exclusive(mutex_);
        Writable("apply()");
        std::string file = FsPath(patch);
        std::vector<std::string> chosen;
        if (!names.is_none()) {
            for (const py::handle &name : names)
                chosen.push_back(NameText(py::reinterpret_borrow<py::object>(name)));
        }
        Failure failure;
        bool ok;
        {
            py::gil_scoped_release released;
            ok = session_.Apply(file, names.is_none() ? nullptr : &chosen, &failure);
        }
        if (!ok)
            Raise(failure);
    }

    void Remove(const py::object &name) {
        Exclusive exclusive(mutex_);
        if (session_.Mode() != 'a')
            throw py::value_error("remove() requires mode 'a'");
        session_.Remove(IndexOf(name));
    }

    // Ctrl-C while the archive is written calls the write off before the
    // new archive takes the old one's place: KeyboardInterrupt then means
    // the archive was left as it was, unless its note says it was written.
    void Close() {
        Exclusive exclusive(mutex_);
        Failure failure;
        bool ok;
        {
            py::gil_scoped_release released;
            ok = session_.Close(
                [] {
                    py::gil_scoped_acquire acquired;
                    return PyErr_CheckSignals() == 0;
                },
                &failure);
        }
        if (!ok && PyErr_Occurred() != nullptr)
            throw py::error_already_set();
        if (!ok)
            Raise(failure);
        // An interrupt that came after the new archive took the old one's
        // place says so.
        if (PyErr_CheckSignals() != 0) {
            py::error_already_set interrupt;
            if (py::hasattr(interrupt.value(), "add_note"))
                interrupt.value().attr("add_note")("quorvel: the archive was written");
            throw interrupt;
        }
    }

    void Exit(const py::object &type) {
        Exclusive exclusive(mutex_);
        if (type.is_none())
            Close();
        else
            session_.Discard(); // leaving by an exception writes nothing
    }

    std::string Repr() const {
        return "<quorvel.Archive filename=" + py::repr(Text(session_.Path())).cast<std::string>() +
               " mode='" + std::string(1, session_.Mode()) + "'" +
               (session_.Closed() ? " [closed]>" : ">");
    }

    py::str Path() const { return Text(session_.Path()); }
    std::string Mode() const { return std::string(1, session_.Mode()); }

  private:
    void Open() const {
        if (session_.Closed())
            throw py::value_error("Attempt to use an archive that was already closed");
    }
    void Writable(const char *call) const {
        Open();
        if (session_.Mode() == 'r')
            throw py::value_error(std::string(call) + " requires mode 'w' or 'a'");
    }
    // An entry's name to write: str (bytes taken as UTF-8 text, as before).
    static std::string NameText(const py::object &name) {
        if (py::isinstance<py::str>(name))
            return NameBytes(name);
        if (py::isinstance<py::bytes>(name))
            return name.cast<std::string>();
        throw py::type_error(
            "an entry's name is str, not " +
            py::str(py::type::handle_of(name).attr("__name__")).cast<std::string>());
    }
    // The entry an EntryInfo describes: of entries that share its stored
    // name (a damaged archive), the one at its position.
    long InfoIndex(const EntryInfo &info) const {
        std::string raw = info.rawName.cast<std::string>();
        long index = session_.Find(raw, true);
        uint64_t position = 0;
        int64_t stamp = 0;
        if (index >= 0)
            session_.Record((size_t)index, &position, &stamp);
        if (index < 0 || position == info.position)
            return index;
        const std::vector<Item> &items = session_.Items();
        for (size_t i = 0; i < items.size(); i++) {
            session_.Record(i, &position, &stamp);
            if (!items[i].removed && items[i].raw == raw && position == info.position)
                return (long)i;
        }
        return index;
    }
    size_t IndexOf(const py::object &name) {
        Open();
        long index;
        if (py::isinstance<EntryInfo>(name))
            index = InfoIndex(name.cast<const EntryInfo &>());
        else if (py::isinstance<py::bytes>(name))
            index = session_.Find(name.cast<std::string>(), true);
        else if (py::isinstance<py::str>(name))
            index = session_.Find(NameBytes(name), false);
        else
            throw py::type_error(
                "a name is str, bytes or EntryInfo, not " +
                py::str(py::type::handle_of(name).attr("__name__")).cast<std::string>());
        if (index < 0)
            throw py::key_error("There is no item named " + py::repr(name).cast<std::string>() +
                                " in the archive");
        return (size_t)index;
    }
    EntryInfo Info(size_t index) const {
        const Item &item = session_.Items()[index];
        EntryInfo info;
        info.name = item.name;
        info.rawName = py::bytes(item.raw);
        info.size = item.size;
        info.listed = item.listed >= 0;
        session_.Record(index, &info.position, &info.stamp);
        return info;
    }
    // An entry's bytes, whole, without raising.
    bool Content(size_t index, std::string *content, Failure *failure) {
        if (session_.GivenBytes(index) != nullptr) {
            *content = *session_.GivenBytes(index);
            return true;
        }
        EntrySpan span;
        if (!session_.Span(index, &span, failure))
            return false;
        content->resize((size_t)span.size);
        py::gil_scoped_release released;
        return Session::ReadSpan(span, 0, &(*content)[0], content->size(), failure);
    }

    // Extracts an entry below `folder` as `quorvel extract --overwrite`
    // does: a folder entry as a folder. True with the path made, or false
    // with the failure (its subject the archive and the entry, or for the
    // file system's refusals the target).
    bool ExtractOne(size_t index, const std::string &folder, std::string *written,
                    Failure *failure) {
        const Item &item = session_.Items()[index];
        std::string entry = session_.Path() + ": " + item.name;
        if (!item.decoded) {
            *failure =
                Fail(FailureKind::kBadName, entry, N_("the name is not valid %s (see --encoding)"),
                     {session_.EncodingName()});
            return false;
        }
        // Read first: a damaged entry leaves nothing behind.
        std::string content;
        if (!FolderEntry(item.name, item.size) && !Content(index, &content, failure)) {
            if (failure->kind != FailureKind::kSystem || failure->subject.empty())
                failure->subject = entry;
            return false;
        }
        std::string why;
        ExtractTarget *target = OpenTarget(folder, &why);
        if (target == nullptr) {
            *failure = SystemFailure(folder, errno != 0 ? errno : EIO, kSentence, {why});
            return false;
        }
        bool isFolder = false;
        bool ok = PlaceEntry(target, item.name, item.size, true, &isFolder, failure);
        if (!ok && failure->kind != FailureKind::kSystem)
            failure->subject = entry;
        else if (!ok)
            failure->subject = folder + ": " + failure->subject;
        if (ok && !isFolder) {
            int64_t stamp = 0;
            uint64_t position;
            session_.Record(index, &position, &stamp);
            int64_t modified = item.listed >= 0 ? LastWriteTime(stamp) : (int64_t)time(nullptr);
            py::gil_scoped_release released;
            errno = 0;
            ok = WritePlacedFile(target, content.data(), content.size(), modified, true, &why);
            if (!ok)
                *failure = SystemFailure(folder + ": " + item.name, errno != 0 ? errno : EIO,
                                         kSentence, {why});
        }
        CloseTarget(target);
        if (!ok)
            return false;
        *written = folder;
        std::vector<std::string> components;
        EntryPath(item.name, false, &components, &why);
        for (const std::string &component : components)
            *written += "/" + component;
        return true;
    }

    std::recursive_mutex mutex_;
    Session session_;
};

PYBIND11_MODULE(quorvel, m) {
    m.doc() = R"(Read and write Quorvel archives (*.dat), as zipfile does zip files.

Entry names are bytes in the code page of the system that made the
archive; the module shows them as text, decoded as `quorvel list --json`
decodes them, and takes either the text or the stored bytes wherever a
name is asked for.)";
    m.attr("__version__") = AXQ_PROJECT_VERSION;
    // Messages in the user's language, from the catalogs beside the module.
    Dl_info self;
    if (dladdr((void *)&Raise, &self) != 0 && self.dli_fname != nullptr)
        StartModuleTranslation(self.dli_fname);
    errorType = PyErr_NewExceptionWithDoc("quorvel.Error", "The base of this module's errors.",
                                          PyExc_Exception, nullptr);
    badArchiveType = PyErr_NewExceptionWithDoc(
        "quorvel.BadArchive",
        "Not an archive, a damaged one, one the accounting refuses (its listing is not the\n"
        "whole file, or a mount is editing it), or one changed on disk while it was being\n"
        "rewritten. The message is the sentence the quorvel command prints.",
        errorType, nullptr);
    m.attr("Error") = py::handle(errorType);
    m.attr("BadArchive") = py::handle(badArchiveType);
    BindStream(m);
    BindDiff(m);

    m.def(
        "is_archive",
        [](const py::object &path) {
            std::string file = FsPath(path);
            StartSessions();
            py::gil_scoped_release released;
            return IsArchiveFile(file);
        },
        py::arg("path"), "True if the file at path is a Quorvel archive, by its content.");

    py::class_<EntryInfo>(m, "EntryInfo", "Information about one entry of an archive.")
        .def_readonly("name", &EntryInfo::name,
                      R"(The name as text, as `quorvel list --json` shows it (separators as
stored).)")
        .def_readonly("raw_name", &EntryInfo::rawName,
                      "The name as stored: bytes in the "
                      "archive's code page.")
        .def_readonly("size", &EntryInfo::size, "The size of the entry in bytes.")
        .def_readonly("position", &EntryInfo::position,
                      R"(Where the entry's directory line starts: what the plug-in's GetFile
takes. 0 for an entry not yet written.)")
        .def_property_readonly(
            "date_time", &EntryInfo::DateTime,
            R"(The archive's last-write time as an aware datetime in the local zone,
the same instant as `list --json`; None for an entry not yet written.)")
        .def("is_dir", &EntryInfo::IsDir,
             R"(True for a folder entry: size 0 and a name ending in '\' or '/'.)")
        .def("__repr__", [](const EntryInfo &info) {
            return "<EntryInfo " + py::repr(py::str(info.name)).cast<std::string>() +
                   " size=" + std::to_string(info.size) + ">";
        });

    py::class_<PyArchive>(m, "Archive", R"(Archive(path, mode="r", encoding="auto")

Open a Quorvel archive, where path is a str, bytes or os.PathLike.

mode is "r" to read an existing archive, "w" to write a new one (an
existing file of that name is replaced), or "a" to change one in place: a
replaced entry keeps its place, new entries go at the end and removed ones
go. In "w" and "a" nothing reaches the disk until close() (or the end of
the with block): the archive is then written to a temporary file, flushed,
and renamed over the old one. Leaving the with block by an exception, or
dropping the object without close(), writes nothing.

"w" and "a" take the lock `quorvel update` takes, and "a" checks the
archive as it does: an archive whose listing is not the whole file, or
that a writable mount is editing, raises BadArchive before anything is
written.

encoding is the code page of the names, as --encoding takes it: "auto"
(UTF-8 if every name is valid UTF-8, else CP932), "cp932", "utf-8", "gbk",
... In "w", "auto" stores names as the system writes them (UTF-8), as
`quorvel pack` does.)")
        .def(py::init<const py::object &, const std::string &, const std::string &>(),
             py::arg("path"), py::arg("mode") = "r", py::arg("encoding") = "auto")
        .def("__enter__", [](PyArchive &self) -> PyArchive & { return self; })
        .def("__exit__",
             [](PyArchive &self, const py::object &type, const py::object &, const py::object &) {
                 self.Exit(type);
                 return false;
             })
        .def("__repr__", &PyArchive::Repr)
        .def_property_readonly("filename", &PyArchive::Path, "The archive's path.")
        .def_property_readonly("mode", &PyArchive::Mode, "'r', 'w' or 'a'.")
        .def("namelist", &PyArchive::Namelist, "Return a list of the entries' names, in order.")
        .def("infolist", &PyArchive::Infolist,
             R"(Return a list of EntryInfo objects, one per entry, in order.)")
        .def("getinfo", &PyArchive::GetInfo, py::arg("name"),
             R"(Return the EntryInfo of the entry name (text or stored bytes). Raises
KeyError if the archive has no such entry.)")
        .def("read", &PyArchive::Read, py::arg("name"),
             R"(Return the bytes of the entry name. Raises KeyError if there is none,
BadArchive if its bytes cannot be read whole.)")
        .def("open", &PyArchive::OpenEntry, py::arg("name"),
             R"(Return a binary, seekable, read-only file object for the entry name,
which reads the archive as it goes and never holds the entry whole.)")
        .def("extract", &PyArchive::Extract, py::arg("member"), py::arg("path") = py::none(),
             R"(Extract the entry member under the folder path (the current one by
default) and return the path written. Names that would leave the folder
(absolute, with '..') are refused, as `quorvel extract` refuses them,
and no folder on the way may be a symbolic link; an existing file is
replaced.)")
        .def("extractall", &PyArchive::ExtractAll, py::arg("path") = py::none(),
             py::arg("members") = py::none(),
             R"(Extract every entry, or those members names, as extract() does.)")
        .def("testarchive", &PyArchive::TestArchive,
             R"(Check the archive as `quorvel test` does and read every entry. Return
None if it is sound, else the first damaged entry's name; raises BadArchive
where no entry is damaged but the directory is (the listing is not the whole
archive, a name is stored twice, or a file is also a folder), and for a
damaged entry whose name is empty.)")
        .def("write", &PyArchive::Write, py::arg("filename"), py::arg("arcname") = py::none(),
             R"(Store the file filename under the name arcname (by default filename
without leading '/' and './'). The file's bytes are copied now: changing or
deleting it afterwards changes nothing stored. An entry of that name (with
'\' and '/' alike) is replaced in its place; a new name is checked at once
and refused with ValueError (a control character, '..', too long, not in
the code page, or a clash with another entry as file and folder). Modes 'w'
and 'a'.)")
        .def("writestr", &PyArchive::WriteStr, py::arg("arcname"), py::arg("data"),
             R"(Store the bytes data under the name arcname, as write() does.)")
        .def("remove", &PyArchive::Remove, py::arg("name"), "Remove the entry name. Mode 'a' only.")
        .def("apply", &PyArchive::Apply, py::arg("patch"), py::arg("names") = py::none(),
             R"(Store the entries of the archive patch (all, or those the patterns in
names match, as `quorvel list` takes them), as `quorvel update --from` does:
an entry of the same name ('\' and '/' alike) is replaced in its place under
its stored name, the others are added at the end, each name checked as
write() checks it. Their bytes are read now. A patch whose listing is not the
whole of it raises BadArchive, a name in names that matches nothing KeyError,
both before anything is stored; on another error the entries stored before it
stay. Together with diff() and remove(), it brings one archive to another's
entries. Modes 'w' and 'a'.)")
        .def("close", &PyArchive::Close,
             R"(Close the archive; in 'w' and 'a', write it first. Raises BadArchive,
ValueError or OSError if it cannot be written, and then leaves the old
file as it was. Ctrl-C while it is written leaves the old file as it was
too; a KeyboardInterrupt that arrives once the new file is in place carries
the note "quorvel: the archive was written".)");
}
