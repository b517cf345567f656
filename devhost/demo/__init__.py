"""The demo's stand-in host program: the plug-in's update run, shown as a host shows it.

``scripts/demo.sh`` is the way in. It prepares a scratch folder with ``python -m demo
prepare``, starts the stand-in release service on it, and runs ``python -m demo run``: a Qt
application with the stand-in ``pymxs`` that imports ``tvlib``, starts the plug-in, runs the
update run(s) of the chosen option and prints, as they happen, the console lines, status-bar
prompts and message boxes, then a summary of what the run left behind.
"""
