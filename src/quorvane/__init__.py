"""quorvane: shmoo-plot kit for semiconductor characterisation.

The two extension modules live in :mod:`quorvane.Source`: ``Corvantis`` extracts
shmoo plots from tester datalogs into an Excel workbook, ``tavrine`` turns shmoo
plots into tensors and trains a small CNN to classify them.
"""

__version__ = "0.1.0"
