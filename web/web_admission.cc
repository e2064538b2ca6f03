#include "web/web_admission.h"

int WebAdmission::CountOf(const std::string& source) const {
  auto found = sources_.find(source);
  return found == sources_.end() ? 0 : found->second.count;
}

WebAdmission::Verdict WebAdmission::Admit(const std::string& source,
                                          PeerId* displace) const {
  const int mine = source.empty() ? 0 : CountOf(source);
  if (!source.empty() && mine >= limits_.perSource) {
    return Verdict::kPerSourceCap;
  }
  if (open_ < limits_.overall) return Verdict::kAdmitted;
  // Full: the idle connection of the source holding the most, when that
  // source would still hold more than this one with the newcomer.
  const Source* most = nullptr;
  for (const auto& [key, counted] : sources_) {
    if (key.empty() || counted.idle.empty()) continue;
    if (most == nullptr || counted.count > most->count) most = &counted;
  }
  if (most == nullptr || most->count <= mine + 1) return Verdict::kOverallCap;
  *displace = *most->idle.begin();
  return Verdict::kDisplacing;
}

void WebAdmission::Add(PeerId peer, const std::string& source) {
  Peer& added = peers_[peer];
  added.source = source;
  Count(&added, peer);
}

bool WebAdmission::Move(PeerId peer, const std::string& source) {
  auto found = peers_.find(peer);
  if (source.empty() || found == peers_.end()) return true;
  if (CountOf(source) >= limits_.perSource) return false;
  Uncount(found->second, peer);
  found->second.source = source;
  Count(&found->second, peer);
  return true;
}

void WebAdmission::SetIdle(PeerId peer, bool idle) {
  auto found = peers_.find(peer);
  if (found == peers_.end() || found->second.displaced ||
      found->second.idle == idle) {
    return;
  }
  found->second.idle = idle;
  Source& source = sources_[found->second.source];
  if (idle) {
    source.idle.insert(peer);
  } else {
    source.idle.erase(peer);
  }
}

void WebAdmission::Displaced(PeerId peer) {
  auto found = peers_.find(peer);
  if (found == peers_.end() || found->second.displaced) return;
  Uncount(found->second, peer);
  found->second.displaced = true;
}

void WebAdmission::Remove(PeerId peer) {
  auto found = peers_.find(peer);
  if (found == peers_.end()) return;
  if (!found->second.displaced) Uncount(found->second, peer);
  peers_.erase(found);
}

void WebAdmission::Count(Peer* peer, PeerId id) {
  ++open_;
  Source& source = sources_[peer->source];
  ++source.count;
  if (peer->idle) source.idle.insert(id);
}

void WebAdmission::Uncount(const Peer& peer, PeerId id) {
  --open_;
  auto source = sources_.find(peer.source);
  if (source == sources_.end()) return;
  source->second.idle.erase(id);
  if (--source->second.count == 0) sources_.erase(source);
}
