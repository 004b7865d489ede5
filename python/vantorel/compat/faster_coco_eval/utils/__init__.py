"""``faster_coco_eval.utils``: helpers for training frameworks (``utils.pytorch``)."""
