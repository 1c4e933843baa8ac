"""Extract the shmoo plots of the bundled sample datalog into a workbook.

Run from the repository root:  python examples/extract_workbook.py
The workbook is saved in the current working directory; its path is printed.
"""
import json
import pathlib

from quorvane.Source import Corvantis

DATA = pathlib.Path(__file__).resolve().parent / "data"


def main():
    with open(DATA / "SHM_keywords_setting.json", encoding="utf-8") as settings:
        keywords = Corvantis.getKeyWordFromSettingFile(json.load(settings))
    # An empty site label: every site the datalog announces becomes a pair.
    path = Corvantis.getDatalogInfo(keywords, str(DATA / "sample_datalog.txt"), "", 20)
    print("saved", path)


if __name__ == "__main__":
    main()
