"""Real operations against the simulated device, as a host runs them in
every interpreter it makes: a listing, look-ups, an action, a failing
sub-command and its VorlixException, a signature, what annotationlib reads
through a wrapper once a name is gone, what a function's code says of the
names and locals it has, and where the package's finder stands.
`session()` returns the answers as one JSON-able dict."""

import annotationlib
import functools
import inspect
import sys

import vorlix


def forward_reference():
    wrapper = functools.wraps(vorlix.launchers.switch)(lambda *args: None)
    namespace = vars(vorlix._launcher)
    kept = dict(namespace)
    del namespace["Launcher"]
    try:
        read = annotationlib.get_annotations(wrapper, format=annotationlib.Format.FORWARDREF)
    finally:
        namespace.clear()  # and back, in its order
        namespace.update(kept)
    return read["launcher"].__forward_arg__


def session():
    apps = vorlix.apps.keys()
    launchers = vorlix.launchers.keys()
    vorlix.launchers.switch(launchers[-1])
    try:
        vorlix.vorlix("no-such-sub-command")
    except vorlix.VorlixException as error:
        refused = str(error)
    else:
        refused = None
    return {
        "apps": apps,
        "found": vorlix.apps[apps[0]].name,
        "listed": "no such app" in vorlix.apps,
        "current": vorlix.launchers.current.name,
        "refused": refused,
        "signature": str(inspect.signature(vorlix.launchers.switch)),
        "forward reference": forward_reference(),
        "code": [[sorted(seen.globals), sorted(seen.builtins), sorted(seen.unbound)]
                 for seen in map(inspect.getclosurevars,
                                 [vorlix.App.start, type(vorlix.apps).__getitem__])]
                + [list(type(vorlix.apps).running.fget.__code__.co_varnames)],
        "annotations": annotationlib.get_annotations(
            vorlix.Launcher.logs, format=annotationlib.Format.STRING),
        "finders": [i for i, f in enumerate(sys.meta_path)
                    if not isinstance(f, type) and f.find_spec("vorlix._util", None)],
    }
