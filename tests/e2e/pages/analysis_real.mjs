// Driven by test_pages_analysis_real.py: the analysis page opened at the
// address the clips page's pop-up uses (BASE, TOKEN, CLIP in the environment),
// against the real server and a stand-in of the AI service. It starts an
// analysis, follows its progress, reads the result and clicks a moment; prints
// one JSON line of findings for the python side to check.
import path from 'node:path';
import { mkdirSync } from 'node:fs';
import { launch } from './support.mjs';

const base = process.env.BASE;
const token = process.env.TOKEN;
const clip = process.env.CLIP;
const shots = path.join(process.env.CORVANE_BUILD_DIR, 'test-artefacts', 'pages');
mkdirSync(shots, { recursive: true });
const out = { errors: [], outside: [], samples: [], polls_after: 0 };
const browser = await launch();
try {
  const context = await browser.newContext({ viewport: { width: 1320, height: 920 } });
  const page = await context.newPage();
  page.on('pageerror', (e) => out.errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') out.errors.push(m.text()); });
  page.on('response', (r) => { if (r.status() >= 400) out.errors.push(r.status() + ' ' + r.url()); });
  page.on('request', (r) => { const u = r.url(); if (!u.startsWith(base + '/') && !u.startsWith('data:')) out.outside.push(u); });
  let polls = 0;
  page.on('request', (r) => { if (r.url().startsWith(base + '/api/analisis?')) polls += 1; });

  await page.goto(`${base}/analisis?t=${token}&clip=${encodeURIComponent(clip)}`);
  out.can_play = await page.evaluate(() => document.createElement('video').canPlayType('video/mp4; codecs="avc1.640028, mp4a.40.2"'));
  await page.waitForFunction(() => video.readyState >= 1 && !document.getElementById('go').disabled, null, { timeout: 30000 });
  out.title = await page.title();
  out.duration = await page.evaluate(() => video.duration);
  out.button = await page.locator('#go').innerText();

  // What the progress block shows, sampled while it is shown.
  await page.evaluate(() => {
    window.samples = [];
    const $ = (id) => document.getElementById(id);
    setInterval(() => {
      if (getComputedStyle($('prog')).display !== 'block') return;
      const s = { stage: $('stage').textContent, bar: $('bar2').style.width, model: $('model').textContent, tiles: $('tiles').innerText,
        thoughts: $('thoughts').innerText, log: $('log').innerText, button_disabled: $('go').disabled };
      const last = samples[samples.length - 1];
      if (!last || JSON.stringify(last) !== JSON.stringify(s)) samples.push(s);
    }, 100);
  });
  await page.click('#go');
  await page.waitForFunction(() => document.getElementById('thoughts').innerText.includes('pelea'), null, { timeout: 90000 });
  await page.screenshot({ path: path.join(shots, 'analisis-real-progreso.png') });
  await page.waitForFunction(() => document.getElementById('result').classList.contains('on')
    && getComputedStyle(document.getElementById('prog')).display === 'none', null, { timeout: 120000 });
  out.samples = await page.evaluate(() => samples);
  out.error_box = await page.evaluate(() => getComputedStyle(document.getElementById('err')).display);
  out.headings = await page.locator('#result h2').allInnerTexts();
  out.resumen = await page.locator('#result .big').innerText();
  out.moments = await page.locator('.moment').allInnerTexts();
  out.badge = await page.locator('#fair .badge').innerText();
  out.foot = await page.locator('#foot').textContent();
  out.button_after = await page.locator('#go').innerText();
  await page.screenshot({ path: path.join(shots, 'analisis-real-resultado.png'), fullPage: true });

  // Polling has stopped with the run.
  const before = polls;
  await page.waitForTimeout(3000);
  out.polls_after = polls - before;

  // A moment seeks the video to it and plays its segment: from the clip's end
  // back to the moment.
  await page.evaluate(() => new Promise((done) => {
    video.addEventListener('seeked', done, { once: true });
    video.currentTime = video.duration - 0.3;
  }));
  out.before_click = await page.evaluate(() => video.currentTime);
  await page.locator('.moment').first().click();
  out.segment_text = await page.locator('#segText').innerText();
  out.segment = await page.evaluate(() => seg && [seg.start, seg.end]);
  await page.waitForFunction(() => !video.paused && video.currentTime > 0.2, null, { timeout: 30000 });
  out.played = await page.evaluate(() => [video.currentTime, video.paused]);
  await context.close();
} finally {
  await browser.close();
}
console.log(JSON.stringify(out));
