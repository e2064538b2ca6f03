// Live checks of the change form against the rules the server put in the
// page (the same data as GET /api/v1/destinations, and the checklist's
// items): the host's rule for the user ID and the current password, the
// chosen destination's for the new one, ticked off in its checklist as
// one types, and the confirmation, before anything is sent; the page's
// own messages in place of the browser's; a show-password button for each
// password field; and no second submit while one is running. The server
// checks all of it again: this only saves a trip.
'use strict';
(function () {
  const form = document.getElementById('change');
  const dataElement = document.getElementById('rules-data');
  if (!form || !dataElement) return;
  const data = JSON.parse(dataElement.textContent);
  const live = document.getElementById('live');
  const button = document.getElementById('submit');
  const field = (id) => document.getElementById(id);
  const boxes = [...document.querySelectorAll('input[name="destinations"]')]
    .filter((box) => box.type === 'checkbox');
  const ids = ['user', 'currentPassword', 'newPassword', 'confirmation'];

  // The names of the hosts to change: the ticked boxes, else the default.
  function chosenNames() {
    if (boxes.length === 0) {
      const found = data.destinations.find((d) => d.default);
      return found ? [found.name] : [];
    }
    return boxes.filter((box) => box.checked).map((box) => box.value);
  }

  // The rules that every chosen host's take together: the longest
  // minimum, the shortest maximum, only the characters all allow, every
  // class any requires.
  function chosenRules() {
    const chosen = data.destinations.filter((d) => chosenNames().includes(d.name));
    if (chosen.length === 0) return data.hostField;
    const all = chosen.map((d) => d.rules);
    return {
      minLength: Math.max(...all.map((r) => r.minLength)),
      maxLength: Math.min(...all.map((r) => r.maxLength)),
      allowedCharacters: [...all[0].allowedCharacters]
        .filter((c) => all.every((r) => r.allowedCharacters.includes(c))).join(''),
      requiredCharacters: [...new Set(all.flatMap((r) => r.requiredCharacters))],
      passwordRules: all.map((r) => r.passwordRules).join(' '),
    };
  }

  // The chosen hosts' checklists, their items and whether each host takes
  // small letters as capitals; the first one's without a choice.
  function chosenSets() {
    const names = chosenNames();
    const sets = [...document.querySelectorAll('.rule-set')];
    const found = sets.filter((set) => names.includes(set.dataset.destination));
    return found.length > 0 ? found : sets.slice(0, 1);
  }
  function chosenSet() {
    return chosenSets()[0];
  }

  // The message of value's first problem against rules, or null; an
  // empty value counts only when the form is being sent, a short one and
  // a missing class only once complete (sent, or the person moved on).
  // A checklist, when given, says the new password's messages precisely.
  function broken(rules, value, sending, complete, missing, set) {
    if (value === '') return sending ? form.dataset[missing] : null;
    const items = set ? chosenSets()
      .flatMap((one) => [...one.querySelectorAll('li[data-rule]')]) : [];
    // The length item whose bound is the one broken (several hosts: the
    // strictest).
    const lengthBy = (key, bound) => items.find((li) =>
      li.dataset.rule === 'length' && Number(li.dataset[key]) === bound);
    if (set && set.dataset.case === 'ignored') value = value.toUpperCase();
    if (value.length > rules.maxLength) {
      const length = lengthBy('max', rules.maxLength);
      return length ? length.dataset.long : form.dataset.tooLong;
    }
    for (const c of value) {
      if (!rules.allowedCharacters.includes(c)) return form.dataset.characters;
    }
    if (!complete) return null;
    if (value.length < rules.minLength) {
      const length = lengthBy('min', rules.minLength);
      return length ? length.dataset.short : form.dataset.tooShort;
    }
    for (const chars of rules.requiredCharacters) {
      if ([...value].some((c) => chars.includes(c))) continue;
      const item = items.find((li) => li.dataset.rule === 'required' &&
                              li.dataset.characters === chars);
      if (item) return item.dataset.message;
      return form.dataset[chars === '0123456789' ? 'missingDigit'
        : 'missingClass'];
    }
    return null;
  }

  // Ticks one checklist item against value; true when met.
  function tickItem(li, value) {
    const chars = li.dataset.characters || '';
    const ok = li.dataset.rule === 'length'
      ? value.length >= Number(li.dataset.min) &&
        value.length <= Number(li.dataset.max)
      : li.dataset.rule === 'allowed'
        ? value !== '' && [...value].every((c) => chars.includes(c))
        : [...value].some((c) => chars.includes(c));
    li.dataset.met = ok ? 'yes' : 'no';
    li.querySelector('.state').textContent =
      ok ? form.dataset.met : form.dataset.open;
    return ok;
  }

  // Ticks the chosen checklists' items against the new password; says how
  // many are met, politely, once typing pauses.
  const status = field('rules-status');
  let spoken = '', pause = null;
  function tick() {
    const sets = chosenSets();
    if (sets.length === 0) return;
    const typed = field('newPassword').value;
    const items = [];
    let met = 0;
    for (const set of sets) {
      const value = set.dataset.case === 'ignored' ? typed.toUpperCase() : typed;
      for (const li of set.querySelectorAll('li[data-rule]')) {
        items.push(li);
        if (tickItem(li, value)) met += 1;
      }
    }
    const text = met === items.length ? form.dataset.rulesAllMet
      : form.dataset.rulesStatus.replace('{met}', met)
        .replace('{all}', items.length);
    clearTimeout(pause);
    pause = setTimeout(() => {
      if (text !== spoken && field('newPassword').value !== '') {
        status.textContent = spoken = text;
      }
    }, 700);
  }

  // Each checklist item gets a state a screen reader reads before it.
  for (const li of document.querySelectorAll('.checklist li[data-rule]')) {
    const state = document.createElement('span');
    state.className = 'state visually-hidden';
    li.prepend(state);
  }
  for (const list of document.querySelectorAll('.checklist')) {
    list.classList.add('live-checks');
  }

  // The first problem as [field, message], or null.
  function problem(sending) {
    if (boxes.length > 0 && chosenNames().length === 0) {
      return ['destinations', form.dataset.noHost];
    }
    const checks = [
      ['user', data.hostField, 'noUser', null],
      ['currentPassword', data.hostField, 'noCurrent', null],
      ['newPassword', chosenRules(), 'noNew', chosenSet()],
    ];
    for (const [id, rules, missing, set] of checks) {
      const input = field(id);
      const complete = sending || document.activeElement !== input;
      const message =
        broken(rules, input.value, sending, complete, missing, set);
      if (message) return [id, message];
    }
    const confirmation = field('confirmation');
    if ((sending || confirmation.value !== '') &&
        confirmation.value !== field('newPassword').value) {
      return ['confirmation', form.dataset.mismatch];
    }
    return null;
  }

  function show(found) {
    for (const id of ids) {
      const mine = found && found[0] === id;
      field(id).setAttribute('aria-invalid', mine ? 'true' : 'false');
      field(id + '-message').textContent = mine ? found[1] : '';
    }
    const hosts = field('destinations-message');
    if (hosts) {
      hosts.textContent = found && found[0] === 'destinations' ? found[1] : '';
    }
  }

  // The chosen hosts' rules alone are shown, and bound the field.
  function choose() {
    const names = chosenNames();
    for (const set of document.querySelectorAll('.rule-set')) {
      set.hidden = boxes.length > 0 && !names.includes(set.dataset.destination);
    }
    const rules = chosenRules();
    const input = field('newPassword');
    input.minLength = rules.minLength;
    input.maxLength = rules.maxLength;
    input.setAttribute('passwordrules', rules.passwordRules);
    field('confirmation').maxLength = rules.maxLength;
    tick();
  }

  // A button after each password field shows its text and hides it again;
  // made here, so that without scripts there is none.
  for (const id of ['currentPassword', 'newPassword', 'confirmation']) {
    const input = field(id);
    const reveal = document.createElement('button');
    reveal.type = 'button';
    reveal.className = 'reveal';
    reveal.id = id + '-reveal';
    reveal.setAttribute('aria-controls', id);
    reveal.setAttribute('aria-pressed', 'false');
    reveal.textContent = form.dataset.show;
    reveal.addEventListener('click', () => {
      const shown = input.type === 'password';
      input.type = shown ? 'text' : 'password';
      reveal.setAttribute('aria-pressed', shown ? 'true' : 'false');
      reveal.textContent = shown ? form.dataset.hide : form.dataset.show;
    });
    const row = document.createElement('div');
    row.className = 'reveal-row';
    input.replaceWith(row);
    row.append(input, reveal);
  }

  for (const box of boxes) box.addEventListener('change', choose);
  choose();
  form.addEventListener('input', () => {
    show(problem(false));
    tick();
  });
  form.addEventListener('focusout', () => show(problem(false)));
  form.addEventListener('submit', (event) => {
    if (form.dataset.sending === 'yes') {
      event.preventDefault();
      live.textContent = form.dataset.busy;
      return;
    }
    const found = problem(true);
    show(found);
    if (found) {
      event.preventDefault();
      (found[0] === 'destinations' ? boxes[0] : field(found[0])).focus();
      return;
    }
    // No browser keeps a shown password as typed text.
    for (const reveal of document.querySelectorAll('.reveal')) {
      if (reveal.getAttribute('aria-pressed') === 'true') reveal.click();
    }
    form.dataset.sending = 'yes';
    button.disabled = true;
    button.setAttribute('aria-busy', 'true');
  });
  const result = document.getElementById('result');
  if (result) result.focus();
})();
