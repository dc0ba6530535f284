#!/usr/bin/env python3
"""Builds the benchmark's workloads. All text is in Windows-1251, lines end in CR LF.

  gen.py small DIRECTORY COUNT      COUNT logs of a few hundred bytes, each beside an empty companion
  gen.py big FILE SIZE              a log of SIZE bytes of ordinary lines, its comment line last
  gen.py big64 FILE SIZE            the same with every ordinary line 64 bytes long
  gen.py area DIRECTORY COUNT       COUNT files, 10 of them with a log beside (the cron case)
  gen.py huge FILE COMMENT_SIZE     a log whose one line is a comment of COMMENT_SIZE bytes
"""
import os
import sys

PREFIX = "Комментарий:".encode("cp1251")
WORDS = ("архив проверен отчёт сервер обработка файл загружен версия сборка данные клиент "
         "запись площадка каталог раздел обновление пакет контроль summary build ok").split()


def cp(text):
    return text.encode("cp1251")


def words(seed, count):
    return " ".join(WORDS[(seed * 7 + i * 13) % len(WORDS)] for i in range(count))


def small_log(i):
    lines = [
        f"Дата: 2026-03-{1 + i % 28:02d} {i % 24:02d}:{i % 60:02d}:{(i * 7) % 60:02d}",
        f"Источник: узел №{i % 97}, очередь {i % 13}",
        f"Файл: file{i:06d}.zip",
        f"Размер: {1000 + i * 37 % 900000} байт",
        "Комментарий: " + words(i, 5 + i % 6).capitalize() + f", партия {i}",
        "Проверка: контрольная сумма совпала, " + words(i + 3, 3),
        f"Оператор: смена {i % 3 + 1}",
    ]
    return b"".join(cp(line) + b"\r\n" for line in lines)


def make_small(directory, count):
    os.makedirs(directory, exist_ok=True)
    for i in range(count):
        name = os.path.join(directory, f"file{i:06d}.zip")
        os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
        fd = os.open(name + ".log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.write(fd, small_log(i))
        os.close(fd)


def ordinary_block(size, length=None):
    """About size bytes of ordinary log lines, none of them a comment; of length bytes each when given."""
    lines = []
    total = 0
    i = 0
    while total < size:
        line = cp(f"2026-03-14 12:{i % 60:02d}:{(i * 7) % 60:02d} [{i % 8}] " + words(i, 4 + i % 9))
        if length is not None:
            line = (line + b" " * length)[: length - 2]
        line += b"\r\n"
        lines.append(line)
        total += len(line)
        i += 1
    return b"".join(lines)


def make_big(path, size, length=None):
    comment = PREFIX + cp(" Большой журнал, комментарий в последней строке") + b"\r\n"
    block = ordinary_block(1 << 20, length)
    body = size - len(comment)
    with open(path, "wb") as out:
        while body >= len(block):
            out.write(block)
            body -= len(block)
        # The rest, cut back to a whole line.
        tail = block[:body]
        tail = tail[: tail.rfind(b"\n") + 1]
        out.write(tail)
        pad = body - len(tail)
        out.write(b"x" * (pad - 2) + b"\r\n" if pad >= 2 else b"\n" * pad)
        out.write(comment)


def make_huge(path, comment_size):
    chunk = (b" " + cp(words(1, 40))) * 64
    with open(path, "wb") as out:
        out.write(cp("Дата: 2026-03-14\r\n"))
        out.write(PREFIX)
        left = comment_size
        while left > 0:
            piece = chunk[:left]
            out.write(piece)
            left -= len(piece)
        out.write(b"\r\n")


def make_big64(path, size):
    make_big(path, size, 64)


def make_area(directory, count):
    """count companions; the first 10 of them, spread through the names, have a log."""
    os.makedirs(directory, exist_ok=True)
    step = count // 10
    for i in range(count):
        name = os.path.join(directory, f"file{i:06d}.zip")
        os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
        if i % step == step // 2 and i // step < 10:
            fd = os.open(name + ".log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            os.write(fd, small_log(i))
            os.close(fd)


def main():
    kind, target, number = sys.argv[1], sys.argv[2], int(sys.argv[3])
    {"small": make_small, "big": make_big, "big64": make_big64, "huge": make_huge, "area": make_area}[kind](
        target, number)


if __name__ == "__main__":
    main()
