// The video: play, pause, the J/K/L shuttle, frame steps and seeks, each
// seek timed from the key press to the new frame painted.

const SPEEDS = [1, 2, 4, 8];
const REVERSE_TICK = 50; // ms between the steps of backward play

export class Player {
  constructor(video, fps) {
    this.video = video;
    this.fps = fps > 0 && fps < 240 ? fps : 30;
    this.listeners = new Set();
    this.shuttleSpeed = 0; // negative: backwards
    this.reverseTimer = null;
    this.stopAt = null; // {time, then}
    this.seeks = []; // ms from a seek's start to its frame painted
    this.pendingSeek = null;
    const tick = () => {
      this.notify();
      if (this.stopAt && this.video.currentTime >= this.stopAt.time - 0.01) this.endRange();
      if (!this.video.paused || this.reverseTimer) requestAnimationFrame(tick);
    };
    video.addEventListener("play", () => { requestAnimationFrame(tick); this.notify(); });
    video.addEventListener("pause", () => this.notify());
    video.addEventListener("seeked", () => this.notify());
    video.addEventListener("loadedmetadata", () => this.notify());
    video.addEventListener("ended", () => { this.shuttleSpeed = 0; this.notify(); });
  }

  onChange(fn) { this.listeners.add(fn); }
  notify() { for (const fn of this.listeners) fn(this); }

  get time() { return this.video.currentTime || 0; }
  get duration() { return Number.isFinite(this.video.duration) ? this.video.duration : 0; }
  get playing() { return !this.video.paused || this.reverseTimer !== null; }
  get frame() { return 1 / this.fps; }

  // The time of the frame nearest t.
  snap(t) { return Math.round(t * this.fps) / this.fps; }

  // measure: the time (performance.now()'s) of the key press that asked for
  // the seek, or true for now; the seek is timed to its frame painted.
  seek(t, measure = false) {
    const to = Math.min(Math.max(0, t), Math.max(0, this.duration - this.frame / 2));
    if (measure && "requestVideoFrameCallback" in this.video) {
      const started = typeof measure === "number" ? measure : performance.now();
      const id = {};
      this.pendingSeek = id;
      this.video.requestVideoFrameCallback(() => {
        if (this.pendingSeek === id) {
          this.seeks.push(performance.now() - started);
          this.pendingSeek = null;
        }
      });
    }
    this.video.currentTime = to;
    this.notify();
  }

  step(frames, pressed = true) {
    this.halt();
    // From the frame shown, so steps do not drift between frames.
    this.seek(this.snap(this.time) + frames * this.frame + this.frame * 0.25, pressed);
  }

  toggle() {
    if (this.playing) this.halt();
    else this.play();
  }

  play(rate = 1) {
    this.stopReverse();
    this.video.playbackRate = rate;
    this.shuttleSpeed = rate;
    const started = this.video.play();
    if (started && started.catch) started.catch(() => {});
    this.notify();
  }

  halt() {
    this.stopReverse();
    if (this.stopAt) this.video.volume = 1;
    this.stopAt = null;
    this.video.pause();
    this.video.playbackRate = 1;
    this.shuttleSpeed = 0;
    this.notify();
  }

  // L: forward, faster each press; J: backward likewise; K: stop.
  shuttle(direction) {
    if (direction === 0) return this.halt();
    const now = this.shuttleSpeed;
    let next = direction;
    if (Math.sign(now) === direction) {
      const i = SPEEDS.indexOf(Math.abs(now));
      next = direction * SPEEDS[Math.min(SPEEDS.length - 1, i + 1)];
    }
    if (next > 0) return this.play(next);
    this.video.pause();
    this.stopReverse();
    this.shuttleSpeed = next;
    let last = performance.now();
    this.reverseTimer = setInterval(() => {
      const now2 = performance.now();
      const t = this.time + (this.shuttleSpeed * (now2 - last)) / 1000;
      last = now2;
      if (t <= 0) { this.seek(0); this.halt(); return; }
      this.video.currentTime = t;
      this.notify();
    }, REVERSE_TICK);
    this.notify();
  }

  stopReverse() {
    if (this.reverseTimer !== null) clearInterval(this.reverseTimer);
    this.reverseTimer = null;
  }

  // Plays from start until stop (seconds), the sound at volume, then then().
  playRange(start, stop, volume = 1, then = null) {
    this.halt();
    this.video.volume = volume;
    this.seek(start);
    this.stopAt = { time: stop, then };
    this.play();
  }

  endRange() {
    const ended = this.stopAt;
    this.stopAt = null;
    this.video.pause();
    this.video.volume = 1;
    this.shuttleSpeed = 0;
    if (ended && ended.then) ended.then();
    this.notify();
  }
}
