// The list of segments beside the video: per segment its range, its
// narration, the narration's spoken length beside the range's, buttons to
// hear it and to play the range with it, and what the command would refuse.
// Cards are kept per segment and updated in place, so typing keeps its focus.

import { el, shownLength } from "./format.js";

export class SegmentList {
  constructor(list, empty, handlers) {
    this.list = list;
    this.empty = empty;
    this.on = handlers;
    this.cards = new Map(); // item id -> card parts
    this.dragged = null;
  }

  // items: [{id, entry, seconds, problems, spoken, measuring}]; fit: "narration" | "range"
  render(items, selectedId, fit) {
    const wanted = items.map((item) => item.id);
    for (const [id, card] of this.cards) {
      if (!wanted.includes(id)) { card.root.remove(); this.cards.delete(id); }
    }
    items.forEach((item, index) => {
      let card = this.cards.get(item.id);
      if (!card) {
        card = this.make(item);
        this.cards.set(item.id, card);
      }
      if (this.list.children[index] !== card.root) this.list.insertBefore(card.root, this.list.children[index] || null);
      this.update(card, item, index, items.length, item.id === selectedId, fit);
    });
    this.empty.hidden = items.length > 0;
  }

  make(item) {
    const id = item.id;
    const start = el("input", { class: "time", spellcheck: "false", "aria-label": "start",
      title: "start: seconds (75.5) or [HH:]MM:SS[.fraction]" });
    const end = el("input", { class: "time", spellcheck: "false", "aria-label": "end",
      title: "end: seconds (75.5) or [HH:]MM:SS[.fraction]" });
    const text = el("textarea", { rows: 2, placeholder: "What is said over this range…", "aria-label": "narration" });
    const num = el("span", { class: "num" });
    const grip = el("span", { class: "grip", title: "drag to reorder", "aria-hidden": "true" }, "⋮⋮");
    const up = el("button", { title: "Move up (Alt+↑)", "aria-label": "Move up" }, "↑");
    const down = el("button", { title: "Move down (Alt+↓)", "aria-label": "Move down" }, "↓");
    const remove = el("button", { class: "danger", title: "Remove (Del)", "aria-label": "Remove" }, "✕");
    const length = el("span", { class: "length" });
    const fit = el("div", { class: "fit" });
    const errors = el("ul", { class: "seg-errors" });
    const hear = el("button", { class: "hear", title: "Hear the narration" }, "▶ Hear");
    const play = el("button", { class: "play-with", title: "Play the range with the narration over it" }, "▶ Range + narration");
    const preview = el("button", { class: "preview-one", title: "A small fast render of this segment" }, "Preview");
    const root = el("li", { class: "segment", dataset: { id } },
      el("div", { class: "seg-head" }, grip, num, start, el("span", { class: "arrow" }, "→"), end,
        el("div", { class: "more" }, up, down, remove)),
      text, fit, el("div", { class: "seg-actions" }, hear, play, preview), errors);
    root.addEventListener("pointerdown", (e) => {
      if (!e.target.closest("button")) this.on.select(id);
    });
    start.addEventListener("input", () => this.on.time(id, "start", start.value));
    end.addEventListener("input", () => this.on.time(id, "end", end.value));
    text.addEventListener("input", () => this.on.text(id, text.value));
    text.addEventListener("focus", () => this.on.select(id));
    text.addEventListener("keydown", (e) => { if (e.key === "Escape") text.blur(); });
    for (const field of [start, end]) field.addEventListener("keydown", (e) => {
      if (e.key === "Escape" || e.key === "Enter") field.blur();
    });
    up.addEventListener("click", () => this.on.move(id, -1));
    down.addEventListener("click", () => this.on.move(id, 1));
    remove.addEventListener("click", () => this.on.remove(id));
    hear.addEventListener("click", () => this.on.hear(id));
    play.addEventListener("click", () => this.on.play(id));
    preview.addEventListener("click", () => this.on.preview(id));
    // Reordering: the grip starts a drag of the card.
    grip.addEventListener("pointerdown", () => { root.draggable = true; });
    root.addEventListener("dragstart", (e) => {
      this.dragged = id;
      root.classList.add("dragging");
      e.dataTransfer.effectAllowed = "move";
      e.dataTransfer.setData("text/plain", String(id));
    });
    root.addEventListener("dragend", () => {
      root.draggable = false;
      root.classList.remove("dragging");
      this.clearDrop();
      this.dragged = null;
    });
    root.addEventListener("dragover", (e) => {
      if (this.dragged === null || this.dragged === id) return;
      e.preventDefault();
      const after = e.clientY > root.getBoundingClientRect().top + root.offsetHeight / 2;
      this.clearDrop();
      root.classList.add(after ? "drop-after" : "drop-before");
    });
    root.addEventListener("drop", (e) => {
      e.preventDefault();
      const after = root.classList.contains("drop-after");
      this.clearDrop();
      if (this.dragged !== null && this.dragged !== id) this.on.drop(this.dragged, id, after);
    });
    return { root, start, end, text, num, length, fit, errors, hear, play, preview, up, down };
  }

  clearDrop() {
    for (const card of this.cards.values()) card.root.classList.remove("drop-before", "drop-after");
  }

  update(card, item, index, count, selected, fitMode) {
    const entry = item.entry;
    const problems = item.problems || [];
    card.root.classList.toggle("selected", selected);
    card.root.classList.toggle("invalid", problems.length > 0);
    card.num.textContent = String(index + 1);
    const asText = (v) => (v === undefined || v === null ? "" : String(v));
    if (document.activeElement !== card.start) card.start.value = asText(entry.start);
    if (document.activeElement !== card.end) card.end.value = asText(entry.end);
    if (document.activeElement !== card.text) card.text.value = asText(entry.voiceover);
    const [s, e] = item.seconds || [null, null];
    card.start.classList.toggle("bad", s === null);
    card.end.classList.toggle("bad", e === null || (s !== null && e <= s));
    card.up.disabled = index === 0;
    card.down.disabled = index === count - 1;
    // The narration's length beside the range's.
    const range = s !== null && e !== null && e > s ? e - s : null;
    const spoken = item.spoken ? item.spoken.seconds : null;
    card.fit.replaceChildren();
    card.fit.className = "fit";
    const hasText = typeof entry.voiceover === "string" && entry.voiceover.trim();
    if (range !== null) {
      const bar = el("div", { class: "bar2" });
      const most = Math.max(range, spoken || 0);
      const r = el("i", { class: "r" });
      r.style.width = `${(range / most) * 100}%`;
      bar.append(r);
      if (spoken !== null) {
        const n = el("i", { class: "n" });
        n.style.width = `${(spoken / most) * 100}%`;
        bar.append(n);
      }
      let what;
      if (!hasText) what = el("span", { class: "what" }, `range ${shownLength(range)}`);
      else if (item.measuring || spoken === null) what = el("span", { class: "what" }, `range ${shownLength(range)} · narration …`);
      else what = el("span", { class: "what" }, "narration ", el("b", {}, `${spoken.toFixed(2)} s`),
        ` · range ${range.toFixed(2)} s`);
      card.fit.append(what, bar);
      if (hasText && spoken !== null && !item.measuring) {
        const over = spoken - range;
        if (over > 0.005) {
          card.fit.classList.add("over");
          card.fit.append(el("span", { class: "note" }, fitMode === "range"
            ? `The narration is ${over.toFixed(2)} s longer than the range: it is cut by ${over.toFixed(2)} s (--fit range).`
            : `The narration is ${over.toFixed(2)} s longer than the range: the clip runs on ${over.toFixed(2)} s (--fit narration).`));
        } else card.fit.classList.add("ok");
      }
    }
    card.hear.disabled = !hasText;
    card.play.disabled = range === null;
    card.preview.disabled = problems.length > 0;
    card.errors.replaceChildren(...problems.map((p) => el("li", {}, p)));
    card.errors.hidden = problems.length === 0;
  }

  focusText(id) {
    const card = this.cards.get(id);
    if (card) card.text.focus();
  }

  reveal(id) {
    const card = this.cards.get(id);
    if (card) card.root.scrollIntoView({ block: "nearest" });
  }
}
