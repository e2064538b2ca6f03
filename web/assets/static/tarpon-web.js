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
  const destination = field('destination');
  const ids = ['user', 'currentPassword', 'newPassword', 'confirmation'];

  // The chosen destination's rules: the select's, else the default's.
  function chosenRules() {
    const name = destination ? destination.value : '';
    const found = data.destinations.find((d) => d.name === name) ||
      data.destinations.find((d) => d.default);
    return found ? found.rules : data.hostField;
  }

  // The chosen destination's checklist, its items and whether its host
  // takes small letters as capitals.
  function chosenSet() {
    const name = destination ? destination.value : '';
    const sets = [...document.querySelectorAll('.rule-set')];
    return sets.find((set) => set.dataset.destination === name) || sets[0];
  }

  // The message of value's first problem against rules, or null; an
  // empty value counts only when the form is being sent, a short one and
  // a missing class only once complete (sent, or the person moved on).
  // A checklist, when given, says the new password's messages precisely.
  function broken(rules, value, sending, complete, missing, set) {
    if (value === '') return sending ? form.dataset[missing] : null;
    const items = set ? [...set.querySelectorAll('li[data-rule]')] : [];
    const length = items.find((li) => li.dataset.rule === 'length');
    if (set && set.dataset.case === 'ignored') value = value.toUpperCase();
    if (value.length > rules.maxLength) {
      return length ? length.dataset.long : form.dataset.tooLong;
    }
    for (const c of value) {
      if (!rules.allowedCharacters.includes(c)) return form.dataset.characters;
    }
    if (!complete) return null;
    if (value.length < rules.minLength) {
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

  // Ticks the chosen checklist's items against the new password; says how
  // many are met, politely, once typing pauses.
  const status = field('rules-status');
  let spoken = '', pause = null;
  function tick() {
    const set = chosenSet();
    if (!set) return;
    let value = field('newPassword').value;
    if (set.dataset.case === 'ignored') value = value.toUpperCase();
    const items = [...set.querySelectorAll('li[data-rule]')];
    let met = 0;
    for (const li of items) {
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
      if (ok) met += 1;
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
  }

  // The chosen destination's rules alone are shown, and bound the field.
  function choose() {
    const name = destination ? destination.value : '';
    for (const set of document.querySelectorAll('.rule-set')) {
      set.hidden = destination !== null && set.dataset.destination !== name;
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

  if (destination) destination.addEventListener('change', choose);
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
      field(found[0]).focus();
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
