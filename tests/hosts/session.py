"""Real operations against the simulated device, as a host runs them in
every interpreter it makes: a listing, look-ups, an action, a failing
sub-command and its VorlixException, a signature, and where the package's
finder stands.  `session()` returns the answers as one JSON-able dict."""

import inspect
import sys

import vorlix


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
        "finders": [i for i, f in enumerate(sys.meta_path)
                    if not isinstance(f, type) and f.find_spec("vorlix._util", None)],
    }
