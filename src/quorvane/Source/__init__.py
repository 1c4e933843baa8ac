"""Native extension modules of quorvane (``Corvantis`` and ``tavrine``)."""
