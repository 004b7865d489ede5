"""The faster-coco-eval release whose API this package follows."""

__version__ = "1.8.0"
__author__ = "vantorel"
