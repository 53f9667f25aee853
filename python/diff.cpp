// quorvel.diff(): two archives compared entry by entry, as `quorvel diff`
// compares them, and the patch it writes with patch=.
#include "python/module.h"

#include "core/diff.h"
#include "core/host.h"
#include "python/session.h"

#include <pybind11/stl.h>

namespace py = pybind11;

// One entry that differs: its change, name and sizes (None where it is not).
struct PyDifference {
    std::string change;
    py::object name, oldSize, newSize;
};

static std::vector<PyDifference> Diff(const py::object &old, const py::object &now,
                                      const py::object &names, const std::string &encodingText,
                                      const py::object &patch) {
    StartSessions();
    std::string olderPath = FsPath(old), newerPath = FsPath(now);
    std::string patchPath = patch.is_none() ? "" : FsPath(patch);
    Choice choice;
    if (!names.is_none()) {
        for (const py::handle &name : names)
            choice.names.push_back(NameBytes(name));
    }
    // An empty list chooses no entry, where None chooses them all.
    if (!names.is_none() && choice.names.empty())
        return {};
    Encoding encoding;
    if (!ParseEncoding(encodingText, &encoding))
        throw py::value_error("unknown encoding '" + encodingText +
                              "'; accepted: " + AcceptedEncodings());
    Failure failure;
    std::vector<Difference> differences;
    bool ok;
    {
        py::gil_scoped_release released;
        Selection older, newer;
        std::vector<Failure> unmatched;
        ok = SelectPair(olderPath, newerPath, encoding, choice, &older, &newer, &failure,
                        &unmatched);
        bool selected = ok;
        if (ok && !unmatched.empty()) {
            failure = unmatched[0];
            ok = false;
        }
        ok = ok && CompareArchives(older, newer, &differences, &failure);
        if (ok && !patchPath.empty())
            ok = WritePatch(patchPath, older, newer, differences, false, &failure);
        if (selected) {
            FreeSelection(&newer);
            FreeSelection(&older);
        }
    }
    if (!ok)
        Raise(failure);
    std::vector<PyDifference> result;
    for (const Difference &d : differences) {
        PyDifference one;
        one.change = ChangeName(d.change);
        one.name = Text(d.name);
        one.oldSize = d.change == Change::kAdded ? py::object(py::none()) : py::int_(d.olderSize);
        one.newSize = d.change == Change::kRemoved ? py::object(py::none()) : py::int_(d.newerSize);
        result.push_back(one);
    }
    return result;
}

void BindDiff(py::module_ &m) {
    py::class_<PyDifference>(m, "Difference", "One entry in which two archives differ.")
        .def_readonly("change", &PyDifference::change, "'added', 'removed' or 'changed'.")
        .def_readonly("name", &PyDifference::name,
                      "The entry's name as text (the new archive's; a removed one's, the old's).")
        .def_readonly("old_size", &PyDifference::oldSize, "Its size in old, or None.")
        .def_readonly("new_size", &PyDifference::newSize, "Its size in new, or None.")
        .def("__repr__", [](const PyDifference &d) {
            return py::str("<Difference {} {!r} {} -> {}>")
                .format(d.change, d.name, d.oldSize, d.newSize);
        });
    m.def("diff", &Diff, py::arg("old"), py::arg("new"), py::arg("names") = py::none(),
          py::kw_only(), py::arg("encoding") = "auto", py::arg("patch") = py::none(),
          R"(Compare two archives entry by entry, as `quorvel diff` does: a list of
Difference, the changed and removed entries in old's order, then the added in
new's. Names meet as text ('\' and '/' alike), each in its archive's code
page; entries of one name and size are compared byte for byte. names (shell
patterns, as `quorvel list` takes them) limits the comparison; one that
matches in neither archive raises KeyError. With patch, new's added and
changed entries are also written there as an archive, which
Archive.apply() or `quorvel update --from` applies. Raises BadArchive for a
damaged archive or one that holds a name twice.)");
}
