"""Additional cursors, connections and helpers built on the core of tolvar2.

This module grows with the features that need pure-Python support, such as
the replication cursor.
"""
